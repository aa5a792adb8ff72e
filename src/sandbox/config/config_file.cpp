#include "sandbox/config/config_file.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include "common/async/blocking.h"
#include "common/data_root.h"
#include "common/fs_win.h"
#include "common/json_text.h"
#include "common/path_join.h"
#include "common/unique_handle_win.h"
#include "common/utf.h"
#include "common/win_error.h"

namespace qel::sandbox {
namespace {

Result<win::UniqueHandle> open_tmp(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return win::last_os_error();
    return win::UniqueHandle(h);
}

Result<void> write_all(HANDLE h, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1 << 30));
        if (!WriteFile(h, text.data() + done, chunk, &n, nullptr))
            return win::last_os_error();
        if (n == 0)
            return Error("failed to write whole buffer");
        done += n;
    }
    return {};
}

Result<void> sync(HANDLE h) {
    if (!FlushFileBuffers(h))
        return win::last_os_error();
    return {};
}

Result<void> replace(const std::wstring& tmp, const std::wstring& target) {
    // Only an existing target is deleted; a failed delete shows in the move that follows.
    if (win::file_status(target))
        DeleteFileW(target.c_str());
    if (!MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return win::last_os_error();
    }
    return {};
}

// The folder, the temporary file, its text and sync, and the move into place, in that order.
Result<void> write_config_file(const std::wstring& dir, const std::wstring& tmp,
                               const std::wstring& target, const std::string& text) {
    if (Result<void> made = win::create_dir_all(dir); !made)
        return std::move(made).error().context("create_dir_all " + to_utf8_lossy(dir));
    Result<win::UniqueHandle> file = open_tmp(tmp);
    if (!file)
        return std::move(file).error().context("open tmp file " + to_utf8_lossy(tmp));
    // Write, then sync to disk (a Win32 handle has no buffer of its own to flush).
    if (Result<void> written = write_all(file->get(), text); !written)
        return written;
    if (Result<void> synced = sync(file->get()); !synced)
        return synced;
    file->reset();
    if (Result<void> moved = replace(tmp, target); !moved) {
        return std::move(moved).error().context("rename " + to_utf8_lossy(tmp) + " -> " +
                                                to_utf8_lossy(target));
    }
    return {};
}

}  // namespace

std::wstring config_path() {
    return join_path(runtime_dir(), std::wstring_view(L"config.json"));
}

asio::awaitable<Result<std::wstring>> write_config(nlohmann::json profile) {
    const std::wstring dir = runtime_dir();
    const std::wstring target = config_path();
    const std::wstring tmp = join_path(dir, std::wstring_view(L"config.json.tmp"));
    const std::string text = to_pretty(profile);

    // One trip to the blocking pool for all the steps: each trip there and back costs a
    // thread wake-up on both sides. Named before it is awaited: GCC 12 destroys a lambda
    // written inside a co_await expression twice.
    const auto write = [&] { return write_config_file(dir, tmp, target, text); };
    Result<void> written = co_await async::run_blocking(write);
    if (!written)
        co_return std::move(written).error();
    co_return target;
}

}  // namespace qel::sandbox
