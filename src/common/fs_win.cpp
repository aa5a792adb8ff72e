#include "common/fs_win.h"

#include <windows.h>

#include "common/win_error.h"

namespace qel::win {
namespace {

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
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    FILE_ATTRIBUTE_TAG_INFO info{};
    const BOOL ok = GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof(info));
    CloseHandle(h);
    if (!ok)
        return std::nullopt;
    return FileStatus{info.FileAttributes, info.ReparseTag};
}

bool is_existing_file(const std::wstring& path) {
    const auto st = file_status(path);
    return st && !st->is_directory() && !st->is_symlink();
}

}  // namespace qel::win
