#include <windows.h>
#include <wtsapi32.h>

#include <fmt/format.h>

#include "auth/impersonation_win.h"
#include "auth/known_folder_win.h"
#include "auth/session_tokens.h"
#include "auth/win_owners.h"
#include "common/fs_win.h"
#include "common/path_join.h"
#include "common/win_error.h"

namespace qel::auth {
namespace {

// A string object, not a literal: with the literal's length in view, GCC 12 reports a bogus
// -Warray-bounds inside the context insertion.
const std::string kMkdirContext = "mkdir LOCALAPPDATA\\com.qel";

Result<void> write_all(HANDLE file, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        DWORD n = 0;
        if (!WriteFile(file, data.data() + done, static_cast<DWORD>(data.size() - done), &n,
                       nullptr))
            return win::last_os_error();
        if (n == 0)
            return Error("failed to write whole buffer");
        done += n;
    }
    return {};
}

Result<void> write_temp_file(const std::wstring& path, const std::string& token) {
    // No security attributes: the file inherits the folder's permissions, and the user
    // being impersonated owns it.
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return win::last_os_error().context("create temp token file");
    if (Result<void> r = write_all(file.get(), token); !r)
        return r;
    if (!FlushFileBuffers(file.get()))
        return win::last_os_error();
    return {};
}

// Every step as the impersonated user, on this thread.
Result<void> write_as_user(HANDLE user_token, const std::string& token) {
    Result<std::wstring> app_data = local_app_data(user_token);
    if (!app_data)
        return std::move(app_data).error();

    const std::wstring dir = join_path(std::move(*app_data), std::wstring_view(L"com.qel"));
    if (Result<void> r = win::create_dir_all(dir); !r)
        return std::move(r).context(kMkdirContext);

    const std::wstring target = join_path(dir, std::wstring_view(L"agent.tok"));
    const std::wstring temp = target + L".tmp";
    if (Result<void> r = write_temp_file(temp, token); !r)
        return r;

    // The client must never read a partial token: it appears only by the move below. A
    // failed delete is left to the move, which replaces the target anyway.
    DeleteFileW(target.c_str());
    if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return win::last_os_error().context("rename token file into place");
    return {};
}

}  // namespace

Result<void> write_token_file(std::uint32_t session, const std::string& token) {
    UserToken user;
    if (!WTSQueryUserToken(session, user.out()))
        return Error(
            fmt::format("WTSQueryUserToken({}): {}", session, win::last_error_hresult_text()));
    if (Result<void> r = impersonate(user.get()); !r)
        return r;
    const RevertOnExit revert;
    return write_as_user(user.get(), token);
}

}  // namespace qel::auth
