#include <windows.h>
#include <wtsapi32.h>

#include <fmt/format.h>

#include "auth/impersonation_win.h"
#include "auth/known_folder_win.h"
#include "auth/session_tokens.h"
#include "common/path_join.h"
#include "common/win/files.h"
#include "common/win/unique_handle.h"
#include "common/win_error.h"

namespace qel::auth {
namespace {

// Every step as the impersonated user, on this thread.
Result<void> write_as_user(HANDLE user_token, const std::string& token) {
    Result<std::wstring> app_data = local_app_data(user_token);
    if (!app_data)
        return std::move(app_data).error();

    const std::wstring dir = join_path(std::move(*app_data), std::wstring_view(L"com.qel"));
    if (Result<void> r = win::create_dir_all(dir); !r)
        return std::move(r).context("mkdir LOCALAPPDATA\\com.qel");

    // The client must never read a partial token: it appears only by the move. The file
    // inherits the folder's permissions, and the user being impersonated owns it; a leftover
    // temporary file is the user's own, and is truncated.
    const std::wstring target = join_path(dir, std::wstring_view(L"agent.tok"));
    win::Replacement how{target + L".tmp", target};
    how.old_target = win::Replacement::OldTarget::deleted;
    how.leftover_temp = win::Replacement::LeftoverTemp::truncated;
    how.open_context = "create temp token file";
    how.move_context = "rename token file into place";
    return win::replace_file(how, token);
}

}  // namespace

Result<void> write_token_file(std::uint32_t session, const std::string& token) {
    win::UniqueHandle user;
    if (!WTSQueryUserToken(session, user.out()))
        return Error(
            fmt::format("WTSQueryUserToken({}): {}", session, win::last_error_hresult_text()));
    if (Result<void> r = impersonate(user.get()); !r)
        return r;
    const RevertOnExit revert;
    return write_as_user(user.get(), token);
}

}  // namespace qel::auth
