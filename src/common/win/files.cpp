#include "common/win/files.h"

#include <windows.h>

#include <fmt/format.h>

#include <algorithm>

#include "common/serial_worker.h"
#include "common/utf.h"
#include "common/win/nt_create.h"
#include "common/win/security.h"
#include "common/win_error.h"

namespace qel::win {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool is_dir(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

Error refused(const std::wstring& path, const std::string& why) {
    return Error(fmt::format("refusing {}: {}", to_utf8_lossy(path), why));
}

constexpr std::string_view kIsALink = "it is a link";

// Opens with `open`, which must not follow a link in the last part of the path, and refuses
// a link there. The path shows what Wine makes of a unix link; the handle, one made after this
// look.
template <class Open>
Result<UniqueHandle> refusing_links(const std::wstring& path, Open open) {
    if (has_link_attribute(GetFileAttributesW(path.c_str())))
        return refused(path, std::string(kIsALink));
    Result<UniqueHandle> h = open();
    if (h && is_link(path, h->get()))
        return refused(path, std::string(kIsALink));
    return h;
}

Result<void> mkdir_once(const std::wstring& path, DWORD& err) {
    if (CreateDirectoryW(path.c_str(), nullptr))
        return {};
    err = GetLastError();
    if (is_dir(path))
        return {};
    return os_error(err);
}

Result<void> write_temp(const Replacement& how, std::string_view bytes, bool& created) {
    auto failed = [&how](Error e) {
        if (!how.open_context.empty())
            e.context(how.open_context);
        return e;
    };
    SecurityDescriptor descriptor;
    if (how.private_file) {
        Result<SecurityDescriptor> sd = parse_sddl(kPrivateFileSddl);
        if (!sd)
            return failed(std::move(sd).error());
        descriptor = std::move(sd).value();
    }
    SECURITY_ATTRIBUTES sa{sizeof(sa), descriptor.get(), FALSE};
    // Made anew, a leftover is never shared with another writer: a second agent process that
    // deletes it meanwhile makes this one's move fail rather than mix two texts. A delete that
    // fails leaves the name taken, and the creation then fails.
    const bool anew = how.leftover_temp == Replacement::LeftoverTemp::made_anew;
    if (anew)
        DeleteFileW(how.temp.c_str());
    const UniqueHandle file(
        CreateFileW(how.temp.c_str(), GENERIC_WRITE, kShareAll, descriptor ? &sa : nullptr,
                    anew ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return failed(last_os_error());
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
        (how.old_target == Old::deleted_if_present &&
         GetFileAttributesW(how.target.c_str()) != INVALID_FILE_ATTRIBUTES))
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

std::wstring parent_folder(const std::wstring& path) {
    std::size_t end = path.size();
    while (end > 0 && (path[end - 1] == L'\\' || path[end - 1] == L'/'))
        --end;
    const std::size_t sep = path.find_last_of(L"\\/", end == 0 ? 0 : end - 1);
    if (sep == std::wstring::npos)
        return {};
    return path.substr(0, sep);
}

Result<std::wstring> full_path(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);  // with its NUL
    if (size == 0)
        return last_os_error();
    std::wstring full(size, L'\0');
    const DWORD n = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (n == 0)
        return last_os_error();
    if (n >= size)  // the current folder changed meanwhile
        return os_error(ERROR_FILENAME_EXCED_RANGE);
    full.resize(n);
    return full;
}

Result<void> create_dir_all(const std::wstring& path) {
    if (path.empty())
        return {};
    DWORD err = 0;
    Result<void> r = mkdir_once(path, err);
    if (r || err != ERROR_PATH_NOT_FOUND)
        return r;
    const std::wstring parent = parent_folder(path);
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

bool has_link_attribute(std::uint32_t attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool is_link(const std::wstring& path, HANDLE h) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof(tag)) &&
            (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) ||
           has_link_attribute(GetFileAttributesW(path.c_str()));
}

Result<UniqueHandle> open_no_follow(const std::wstring& path, DWORD access, DWORD share,
                                    DWORD disposition, DWORD flags, SECURITY_ATTRIBUTES* security) {
    return refusing_links(path, [&]() -> Result<UniqueHandle> {
        UniqueHandle h(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, security,
                                   disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!h)
            return last_os_error();
        return h;
    });
}

Result<std::wstring> move_aside(const std::wstring& path, std::wstring_view tag,
                                const std::function<DWORD(const std::wstring& to)>& rename) {
    constexpr int kNames = 100;
    SYSTEMTIME now{};
    GetSystemTime(&now);
    const std::wstring stem =
        path + L"." + std::wstring(tag) +
        to_wide(fmt::format("-{:04}{:02}{:02}T{:02}{:02}{:02}Z", now.wYear, now.wMonth, now.wDay,
                            now.wHour, now.wMinute, now.wSecond));
    for (int n = 1; n <= kNames; ++n) {
        const std::wstring aside = n == 1 ? stem : stem + L"-" + std::to_wstring(n);
        const DWORD err = rename(aside);
        if (err == ERROR_SUCCESS)
            return aside;
        if (err != ERROR_ALREADY_EXISTS && err != ERROR_FILE_EXISTS)
            return os_error(err);
    }
    return Error(fmt::format("the {} names for it are taken", kNames));
}

DWORD interruptible_call(const std::function<BOOL()>& call) {
    // CancelSynchronousIo needs a handle on this thread; without one the call still goes on,
    // uninterrupted.
    const UniqueHandle self(OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId()));
    std::function<void()> cancel;
    if (self)
        cancel = [thread = self.get()] { CancelSynchronousIo(thread); };
    const Interruption interruptible(std::move(cancel));
    if (!interruptible.allowed())
        return ERROR_OPERATION_ABORTED;
    if (!call())
        return GetLastError();
    return ERROR_SUCCESS;
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

Result<std::optional<std::string>> read_file(const std::wstring& path) {
    Result<UniqueHandle> file = open_no_follow(path, GENERIC_READ, kShareAll, OPEN_EXISTING);
    if (!file) {
        const std::optional<std::uint32_t> err = file.error().os_code();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
            return std::optional<std::string>();
        return std::move(file).error();
    }
    std::string text;
    char buf[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file->get(), buf, sizeof buf, &n, nullptr))
            return last_os_error();
        if (n == 0)
            return std::optional<std::string>(std::move(text));
        text.append(buf, n);
    }
}

Result<UniqueHandle> open_for_append(const std::wstring& path) {
    // Readers may look at the log while it grows; nobody else writes to it. CreateFileW cannot
    // ask for an open that does not wait for an oplock's holder, who need never answer.
    return refusing_links(path, [&] {
        return nt_create_file(path, {.access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                     .share = FILE_SHARE_READ,
                                     .disposition = FILE_OPEN_IF,
                                     .options = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT |
                                                FILE_COMPLETE_IF_OPLOCKED});
    });
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
