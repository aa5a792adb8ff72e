#include "sandbox/config/config_file.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include "common/async/blocking.h"
#include "common/fs_win.h"
#include "common/json_text.h"
#include "common/path_join.h"
#include "common/unique_handle_win.h"
#include "common/utf.h"
#include "common/win_error.h"
#include "sandbox/config/data_root.h"

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

}  // namespace

asio::awaitable<Result<std::wstring>> write_config(nlohmann::json profile) {
    using async::run_blocking;
    const std::wstring dir = runtime_dir();
    const std::wstring target = config_path();
    const std::wstring tmp = join_path(dir, std::wstring_view(L"config.json.tmp"));

    // Each step is named before it is awaited: GCC 12 destroys a lambda written inside a
    // co_await expression twice.
    const auto make_dir = [dir] { return win::create_dir_all(dir); };
    Result<void> made = co_await run_blocking(make_dir);
    if (!made)
        co_return std::move(made).error().context("create_dir_all " + to_utf8_lossy(dir));

    const std::string text = to_pretty(profile);
    const auto open = [tmp] { return open_tmp(tmp); };
    Result<win::UniqueHandle> file = co_await run_blocking(open);
    if (!file)
        co_return std::move(file).error().context("open tmp file " + to_utf8_lossy(tmp));
    const HANDLE h = file->get();

    // Write, then sync to disk (a Win32 handle has no buffer of its own to flush).
    const auto write = [h, &text] { return write_all(h, text); };
    Result<void> written = co_await run_blocking(write);
    if (!written)
        co_return std::move(written).error();
    const auto flush = [h] { return sync(h); };
    Result<void> synced = co_await run_blocking(flush);
    if (!synced)
        co_return std::move(synced).error();
    file->reset();

    const auto move_into_place = [tmp, target] { return replace(tmp, target); };
    Result<void> moved = co_await run_blocking(move_into_place);
    if (!moved) {
        co_return std::move(moved).error().context("rename " + to_utf8_lossy(tmp) + " -> " +
                                                   to_utf8_lossy(target));
    }
    co_return target;
}

}  // namespace qel::sandbox
