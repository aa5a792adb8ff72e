#include "common/win/own_folder.h"

#include <windows.h>

#include <fmt/format.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/data_root.h"
#include "common/path_join.h"
#include "common/utf.h"
#include "common/win/files.h"
#include "common/win/security.h"
#include "common/win_error.h"

namespace qel::win {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Sharing for the pins: others may read and write what the folder holds, but no one may open
// the folder for deletion, which a rename or a move needs too.
constexpr DWORD kPinShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A folder itself, never what a link in its place points to.
constexpr DWORD kFolderFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kPinAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// How often a claim makes a folder anew after what stood under its name went, before it
// gives up: another process that keeps putting folders of its own there only stops the claim.
constexpr int kClaimRounds = 3;
constexpr std::array<std::wstring_view, 2> kAgentFolders = {kRuntimeFolder, kLogsFolder};

std::string text(const std::wstring& path) {
    return to_utf8_lossy(path);
}

std::wstring_view descriptor_of(std::wstring_view sub) {
    return sub == kRuntimeFolder ? kPrivateFolderSddl : kAgentFolderSddl;
}

Error refused_link(const std::wstring& path) {
    return Error(fmt::format(
        "refusing {}: it is a link (reparse point), not a folder of the agent's own", text(path)));
}

Error not_made_own(const std::wstring& path, const std::string& why) {
    return Error(fmt::format("cannot make {} the agent's own: {}", text(path), why));
}

Error creation_error(Error e, const std::string& context) {
    if (!context.empty())
        e.context(context);
    return e;
}

bool is_gone(DWORD err) {
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

// Which object a handle is on, so that a second handle can be checked to be on the same one.
struct FileId {
    ULONGLONG volume = 0;
    std::array<BYTE, 16> id{};
    bool operator==(const FileId&) const = default;
};

std::optional<FileId> identity(HANDLE h) {
    FileId out;
    FILE_ID_INFO info{};
    if (GetFileInformationByHandleEx(h, FileIdInfo, &info, sizeof info)) {
        out.volume = info.VolumeSerialNumber;
        std::memcpy(out.id.data(), info.FileId.Identifier, out.id.size());
        return out;
    }
    BY_HANDLE_FILE_INFORMATION bh{};
    if (!GetFileInformationByHandle(h, &bh))
        return std::nullopt;
    out.volume = bh.dwVolumeSerialNumber;
    const ULONGLONG index = (ULONGLONG{bh.nFileIndexHigh} << 32) | bh.nFileIndexLow;
    std::memcpy(out.id.data(), &index, sizeof index);
    return out;
}

// What stands under a folder's name. It is judged on a handle without data access, which no
// other opener's sharing can refuse and which refuses no other opener.
struct Judged {
    FileId id;
    bool link = false;
    bool folder = false;
    std::optional<std::string> why_not_own;  // nothing: the agent's own
    bool others_have_access = false;
};

// Nothing when the name is free (what stood there went meanwhile).
Result<std::optional<Judged>> judge(const std::wstring& path) {
    std::optional<std::string> unreadable;
    UniqueHandle h(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                               kShareAll, nullptr, OPEN_EXISTING, kFolderFlags, nullptr));
    if (!h && GetLastError() == ERROR_ACCESS_DENIED) {
        // Its descriptor shuts the agent out: whoever made it, it is not provably the agent's.
        unreadable = "the agent may not read its descriptor";
        h.reset(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, nullptr,
                            OPEN_EXISTING, kFolderFlags, nullptr));
    }
    if (!h) {
        const DWORD err = GetLastError();
        if (is_gone(err))
            return std::optional<Judged>();
        return os_error(err);
    }
    Judged j;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const std::optional<FileId> id = identity(h.get());
    if (!id || !GetFileInformationByHandleEx(h.get(), FileAttributeTagInfo, &tag, sizeof tag))
        return last_os_error();
    j.id = *id;
    j.link = is_link(path, h.get());
    j.folder = tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    if (unreadable) {
        j.why_not_own = std::move(unreadable);
        return std::optional<Judged>(std::move(j));
    }
    Result<SecurityDescriptor> sd = read_descriptor(h.get());
    if (!sd) {
        j.why_not_own = "its descriptor cannot be read: " + sd.error().full();
    } else {
        j.why_not_own = why_not_own(sd->get());
        j.others_have_access = others_have_access(sd->get());
    }
    return std::optional<Judged>(std::move(j));
}

// The judged folder held open without delete sharing; nothing when another object has taken
// its name since it was judged.
Result<std::optional<UniqueHandle>> pin(const std::wstring& path, const Judged& judged,
                                        DWORD extra_access) {
    UniqueHandle h(CreateFileW(path.c_str(), kPinAccess | extra_access, kPinShare, nullptr,
                               OPEN_EXISTING, kFolderFlags, nullptr));
    if (!h) {
        const DWORD err = GetLastError();
        if (is_gone(err))
            return std::optional<UniqueHandle>();
        return not_made_own(path, "it cannot be held open: " + os_error_text(err));
    }
    if (is_link(path, h.get()))
        return refused_link(path);
    if (identity(h.get()) != judged.id)
        return std::optional<UniqueHandle>();
    return std::optional<UniqueHandle>(std::move(h));
}

DWORD rename_by_handle(HANDLE h, const std::wstring& to) {
    // A bare name would be taken relative to the current folder, not the folder's parent.
    const DWORD size = GetFullPathNameW(to.c_str(), 0, nullptr, nullptr);  // with its NUL
    if (size == 0)
        return GetLastError();
    std::wstring full(size, L'\0');
    const DWORD n = GetFullPathNameW(to.c_str(), size, full.data(), nullptr);
    if (n == 0 || n >= size)
        return n == 0 ? GetLastError() : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE);
    std::vector<BYTE> buf(sizeof(FILE_RENAME_INFO) + n * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = n * sizeof(wchar_t);
    std::memcpy(info->FileName, full.data(), info->FileNameLength);
    if (!SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buf.size())))
        return GetLastError();
    return ERROR_SUCCESS;
}

// Renames the judged object, whole and by its handle, within its parent. Nothing when another
// object has taken its name since it was judged.
Result<std::optional<std::wstring>> move_folder_aside(const std::wstring& path,
                                                      const Judged& judged) {
    const auto failed = [&](Error e) {
        return std::move(e).context(
            fmt::format("cannot move {} aside, which is not the agent's own ({})", text(path),
                        *judged.why_not_own));
    };
    const UniqueHandle h(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                     kShareAll, nullptr, OPEN_EXISTING, kFolderFlags, nullptr));
    if (!h) {
        const DWORD err = GetLastError();
        if (is_gone(err))
            return std::optional<std::wstring>();
        return failed(os_error(err));
    }
    // Not even a link made meanwhile is moved: Wine would move what it points to.
    if (is_link(path, h.get()))
        return refused_link(path);
    if (identity(h.get()) != judged.id)
        return std::optional<std::wstring>();
    Result<std::wstring> aside = move_aside(
        path, L"untrusted", [&](const std::wstring& to) { return rename_by_handle(h.get(), to); });
    if (!aside)
        return failed(std::move(aside).error());
    return std::optional<std::wstring>(std::move(aside).value());
}

// Creates the folder with the descriptor; true when this call made it.
Result<bool> create_folder(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor,
                           bool is_root) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), descriptor, FALSE};
    if (CreateDirectoryW(path.c_str(), &sa))
        return true;
    DWORD err = GetLastError();
    if (err == ERROR_PATH_NOT_FOUND && is_root) {
        if (Result<void> up = create_dir_all(parent_folder(path)); !up)
            return std::move(up).error();
        if (CreateDirectoryW(path.c_str(), &sa))
            return true;
        err = GetLastError();
    }
    if (err == ERROR_ALREADY_EXISTS)
        return false;
    return os_error(err);
}

// Gives an own folder that others may still read the private descriptor. Read rights let
// nobody change anything, so this needs no move.
Result<void> make_private(const std::wstring& path, HANDLE pinned,
                          PSECURITY_DESCRIPTOR descriptor) {
    if (Result<void> given = give_descriptor(pinned, descriptor); !given)
        return not_made_own(path, "its descriptor cannot be set: " + given.error().full());
    Result<SecurityDescriptor> now = read_descriptor(pinned);
    if (!now)
        return not_made_own(path, "its descriptor cannot be read: " + now.error().full());
    if (why_not_own(now->get()) || others_have_access(now->get()))
        return not_made_own(path, "its descriptor did not take");
    return {};
}

// One folder: made with the descriptor, or judged; moved aside and made anew when it is not
// the agent's own; then pinned.
Result<UniqueHandle> claim(const std::wstring& path, bool is_root, std::wstring_view sddl,
                           const std::string& create_context, std::vector<std::string>& notes) {
    Result<SecurityDescriptor> descriptor = parse_sddl(sddl);
    if (!descriptor)
        return std::move(descriptor).error();
    for (int round = 0; round < kClaimRounds; ++round) {
        Result<bool> created = create_folder(path, descriptor->get(), is_root);
        if (!created)
            return creation_error(std::move(created).error(), create_context);
        Result<std::optional<Judged>> judged = judge(path);
        if (!judged)
            return not_made_own(path, judged.error().full());
        if (!*judged)
            continue;
        const Judged& j = **judged;
        if (j.link)
            return refused_link(path);
        if (j.why_not_own) {
            if (*created)
                return not_made_own(path, "its descriptor did not take: " + *j.why_not_own);
            Result<std::optional<std::wstring>> aside = move_folder_aside(path, j);
            if (!aside)
                return std::move(aside).error();
            if (*aside) {
                notes.push_back(
                    fmt::format("data folder: {} is not the agent's own ({}); moved it aside to {}",
                                text(path), *j.why_not_own, text(**aside)));
            }
            continue;
        }
        if (!j.folder)
            return creation_error(os_error(ERROR_ALREADY_EXISTS), create_context);
        Result<std::optional<UniqueHandle>> pinned =
            pin(path, j, READ_CONTROL | WRITE_DAC | WRITE_OWNER);
        if (!pinned)
            return std::move(pinned).error();
        if (!*pinned)
            continue;
        if (sddl == kPrivateFolderSddl && j.others_have_access) {
            if (Result<void> r = make_private(path, (*pinned)->get(), descriptor->get()); !r)
                return std::move(r).error();
        }
        return std::move(**pinned);
    }
    return not_made_own(path, fmt::format("what stood under its name changed {} times while the "
                                          "agent looked at it",
                                          kClaimRounds));
}

}  // namespace

void OwnFolder::log_notes(log::Target target) const {
    for (const std::string& note : notes_)
        log::warn(target, "{}", note);
}

Result<OwnFolder> claim_data_folder(std::wstring_view sub, const std::string& create_context) {
    std::vector<UniqueHandle> pins;
    std::vector<std::string> notes;
    std::wstring path = data_root();
    Result<UniqueHandle> root = claim(path, true, kAgentFolderSddl, create_context, notes);
    if (!root)
        return std::move(root).error();
    pins.push_back(std::move(root).value());
    if (!sub.empty()) {
        path = join_path(std::move(path), sub);
        Result<UniqueHandle> below = claim(path, false, descriptor_of(sub), create_context, notes);
        if (!below)
            return std::move(below).error();
        pins.push_back(std::move(below).value());
    }
    return OwnFolder(std::move(path), std::move(pins), std::move(notes));
}

std::optional<OwnFolder> find_own_data_folder(std::wstring_view sub) {
    std::vector<UniqueHandle> pins;
    std::wstring path = data_root();
    for (bool below : {false, true}) {
        if (below) {
            if (sub.empty())
                break;
            path = join_path(std::move(path), sub);
        }
        Result<std::optional<Judged>> judged = judge(path);
        if (!judged || !*judged)
            return std::nullopt;
        const Judged& j = **judged;
        if (j.link || j.why_not_own || !j.folder)
            return std::nullopt;
        Result<std::optional<UniqueHandle>> pinned = pin(path, j, 0);
        if (!pinned || !*pinned)
            return std::nullopt;
        pins.push_back(std::move(**pinned));
    }
    return OwnFolder(std::move(path), std::move(pins), {});
}

void claim_existing_data_folders(log::Target target) {
    const std::wstring root = data_root();
    if (GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    const auto claim_logged = [target](std::wstring_view sub) {
        Result<OwnFolder> claimed = claim_data_folder(sub);
        if (claimed)
            claimed->log_notes(target);
        else
            log::warn(target, "data folder: {:#}", claimed.error());
        return claimed.ok();
    };
    // data_root first: when it goes aside, its folders go with it.
    if (!claim_logged({}))
        return;
    for (std::wstring_view sub : kAgentFolders) {
        if (GetFileAttributesW(join_path(root, sub).c_str()) != INVALID_FILE_ATTRIBUTES)
            claim_logged(sub);
    }
}

}  // namespace qel::win
