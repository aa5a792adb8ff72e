#include "common/win/files.h"

#include <windows.h>

#include <algorithm>

#include "common/win/unique_handle.h"
#include "common/win_error.h"

namespace qel::win {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool is_dir(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring parent_of(const std::wstring& path) {
    std::size_t end = path.size();
    while (end > 0 && (path[end - 1] == L'\\' || path[end - 1] == L'/'))
        --end;
    const std::size_t sep = path.find_last_of(L"\\/", end == 0 ? 0 : end - 1);
    if (sep == std::wstring::npos)
        return {};
    return path.substr(0, sep);
}

Result<void> mkdir_once(const std::wstring& path, DWORD& err) {
    if (CreateDirectoryW(path.c_str(), nullptr))
        return {};
    err = GetLastError();
    if (is_dir(path))
        return {};
    return os_error(err);
}

Result<void> write_all(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        // WriteFile takes a 32-bit length.
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD n = 0;
        if (!WriteFile(file, bytes.data(), chunk, &n, nullptr))
            return last_os_error();
        if (n == 0)
            return Error("failed to write whole buffer");
        bytes.remove_prefix(n);
    }
    return {};
}

Result<void> write_temp(const Replacement& how, std::string_view bytes, bool& created) {
    const UniqueHandle file(CreateFileW(how.temp.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        Error e = last_os_error();
        if (!how.open_context.empty())
            e.context(how.open_context);
        return e;
    }
    created = true;
    if (Result<void> written = write_all(file.get(), bytes); !written)
        return written;
    // A Win32 handle has no buffer of its own: the flush is the sync to disk.
    if (!FlushFileBuffers(file.get()))
        return last_os_error();
    return {};
}

Result<void> move_into_place(const Replacement& how) {
    using Old = Replacement::OldTarget;
    if (how.old_target == Old::deleted ||
        (how.old_target == Old::deleted_if_present && file_status(how.target)))
        DeleteFileW(how.target.c_str());
    DWORD flags = MOVEFILE_REPLACE_EXISTING;
    if (how.write_through)
        flags |= MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExW(how.temp.c_str(), how.target.c_str(), flags)) {
        Error e = last_os_error();
        if (!how.move_context.empty())
            e.context(how.move_context);
        return e;
    }
    return {};
}

}  // namespace

Result<void> create_dir_all(const std::wstring& path) {
    if (path.empty())
        return {};
    DWORD err = 0;
    Result<void> r = mkdir_once(path, err);
    if (r || err != ERROR_PATH_NOT_FOUND)
        return r;
    const std::wstring parent = parent_of(path);
    if (parent.empty() || parent.size() >= path.size())
        return r;
    if (Result<void> up = create_dir_all(parent); !up)
        return up;
    return mkdir_once(path, err);
}

bool FileStatus::is_directory() const {
    return attributes & FILE_ATTRIBUTE_DIRECTORY;
}

bool FileStatus::is_symlink() const {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (reparse_tag & 0x20000000u);
}

std::optional<FileStatus> file_status(const std::wstring& path) {
    if (path.find(L'\0') != std::wstring::npos)
        return std::nullopt;
    // Opened for attribute access only; without FILE_FLAG_OPEN_REPARSE_POINT the open follows
    // symbolic links, so a dangling link fails here.
    const UniqueHandle h(CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h)
        return std::nullopt;
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(h.get(), FileAttributeTagInfo, &info, sizeof(info)))
        return std::nullopt;
    return FileStatus{info.FileAttributes, info.ReparseTag};
}

bool is_existing_file(const std::wstring& path) {
    const auto st = file_status(path);
    return st && !st->is_directory() && !st->is_symlink();
}

Result<std::optional<std::string>> read_file(const std::wstring& path) {
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
            return std::optional<std::string>();
        return os_error(err);
    }
    std::string text;
    char buf[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.get(), buf, sizeof buf, &n, nullptr))
            return last_os_error();
        if (n == 0)
            return std::optional<std::string>(std::move(text));
        text.append(buf, n);
    }
}

Result<void> replace_file(const Replacement& how, std::string_view bytes) {
    bool created = false;
    Result<void> r = write_temp(how, bytes, created);
    if (r)
        r = move_into_place(how);
    if (!r && created && how.remove_temp_on_failure)
        DeleteFileW(how.temp.c_str());
    return r;
}

}  // namespace qel::win
