#include "common/win/own_folder.h"

#include <windows.h>

#include <fmt/format.h>

#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/data_root.h"
#include "common/no_destroy.h"
#include "common/path_join.h"
#include "common/utf.h"
#include "common/win/files.h"
#include "common/win/nt_create.h"
#include "common/win/security.h"
#include "common/win/unique_handle.h"
#include "common/win_error.h"

namespace qel::win {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A folder itself, never what a link in its place points to (FILE_OPEN_FOR_BACKUP_INTENT is
// what CreateFileW's FILE_FLAG_BACKUP_SEMANTICS asks for); and never a wait for another
// process's oplock on it: such an open fails instead.
constexpr ULONG kFolderOptions =
    FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED;
// What the judgement opens a folder for: access that no other opener's sharing governs and
// that breaks no oplock, so that no handle another process holds can refuse or stall it.
constexpr DWORD kJudgeAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// How often a claim makes a folder anew after what stood under its name went, before it
// gives up: another process that keeps putting folders of its own there only stops the claim.
constexpr int kClaimRounds = 3;
constexpr std::array<std::wstring_view, 2> kAgentFolders = {kRuntimeFolder, kLogsFolder};

std::string text(const std::wstring& path) {
    return to_utf8_lossy(path);
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

bool is_gone(const Error& e) {
    return e.os_code() == ERROR_FILE_NOT_FOUND || e.os_code() == ERROR_PATH_NOT_FOUND;
}

// Opens what stands under a folder's name, which may be another account's.
Result<UniqueHandle> open_folder(const std::wstring& path, ACCESS_MASK access) {
    return nt_create_file(path, NtCreate{.access = access,
                                         .share = kShareAll,
                                         .disposition = FILE_OPEN,
                                         .options = kFolderOptions});
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

// What stands under a folder's name.
struct Judged {
    FileId id;
    bool link = false;
    bool folder = false;
    std::optional<std::string> why_not_own;  // nothing: the agent's own
    bool others_have_access = false;
};

// Judges the object that `h` is open on (with kJudgeAccess, or without READ_CONTROL when the
// agent may not read its descriptor: then `unreadable` says so). Never nothing; the type is
// judge's.
Result<std::optional<Judged>> judge_handle(const std::wstring& path, HANDLE h,
                                           std::optional<std::string> unreadable = {}) {
    Judged j;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const std::optional<FileId> id = identity(h);
    if (!id || !GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag))
        return last_os_error();
    j.id = *id;
    j.link = is_link(path, h);
    j.folder = tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    if (unreadable) {
        j.why_not_own = std::move(unreadable);
        return std::optional<Judged>(std::move(j));
    }
    Result<SecurityDescriptor> sd = read_descriptor(h);
    if (!sd) {
        j.why_not_own = "its descriptor cannot be read: " + sd.error().full();
    } else {
        j.why_not_own = why_not_own(sd->get());
        j.others_have_access = others_have_access(sd->get());
    }
    return std::optional<Judged>(std::move(j));
}

// Judges what stands under the name; nothing when the name is free (what stood there went
// meanwhile).
Result<std::optional<Judged>> judge(const std::wstring& path) {
    std::optional<std::string> unreadable;
    Result<UniqueHandle> h = open_folder(path, kJudgeAccess);
    if (!h && h.error().os_code() == ERROR_ACCESS_DENIED) {
        // Its descriptor shuts the agent out: whoever made it, it is not provably the agent's.
        unreadable = "the agent may not read its descriptor";
        h = open_folder(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    }
    if (!h) {
        if (is_gone(h.error()))
            return std::optional<Judged>();
        return std::move(h).error();
    }
    return judge_handle(path, h->get(), std::move(unreadable));
}

DWORD rename_by_handle(HANDLE h, const std::wstring& to) {
    // A bare name would be taken relative to the current folder, not the folder's parent.
    Result<std::wstring> full = full_path(to);
    if (!full)
        return full.error().os_code().value_or(ERROR_INVALID_NAME);
    const std::size_t bytes = full->size() * sizeof(wchar_t);
    std::vector<BYTE> buf(sizeof(FILE_RENAME_INFO) + bytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(info->FileName, full->data(), bytes);
    // The rename waits while another process holds an oplock on something in the folder: when
    // the claim's caller stops waiting, the wait is cancelled (and a rename not yet begun is
    // not made), so the claim ends with that error on the claims' own thread.
    return interruptible_call([&] {
        return SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buf.size()));
    });
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
    Result<UniqueHandle> h = open_folder(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    if (!h) {
        if (is_gone(h.error()))
            return std::optional<std::wstring>();
        return failed(std::move(h).error());
    }
    // Not even a link made meanwhile is moved: Wine would move what it points to.
    if (is_link(path, h->get()))
        return refused_link(path);
    if (identity(h->get()) != judged.id)
        return std::optional<std::wstring>();
    Result<std::wstring> aside = move_aside(
        path, L"untrusted", [&](const std::wstring& to) { return rename_by_handle(h->get(), to); });
    if (!aside)
        return failed(std::move(aside).error());
    return std::optional<std::wstring>(std::move(aside).value());
}

// Creates the folder with the descriptor. FILE_OPEN_REPARSE_POINT with FILE_CREATE: whatever
// stands under the name, a link to a missing target included, is a name collision, so the
// create never makes anything at a place that a link points to. A handle on the folder this
// call made; nothing when the name was taken.
Result<std::optional<UniqueHandle>> create_folder(const std::wstring& path,
                                                  PSECURITY_DESCRIPTOR descriptor, bool is_root) {
    const NtCreate how{.access = kJudgeAccess,
                       .share = kShareAll,
                       .disposition = FILE_CREATE,
                       .options = FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
                       .descriptor = descriptor};
    Result<UniqueHandle> made = nt_create_file(path, how);
    if (!made && made.error().os_code() == ERROR_PATH_NOT_FOUND && is_root) {
        if (Result<void> up = create_dir_all(parent_folder(path)); !up)
            return std::move(up).error();
        made = nt_create_file(path, how);
    }
    if (made)
        return std::optional<UniqueHandle>(std::move(made).value());
    if (made.error().os_code() == ERROR_ALREADY_EXISTS)
        return std::optional<UniqueHandle>();
    return std::move(made).error();
}

// Gives an own folder that others may still read the private descriptor, on a handle opened
// for that alone. Read rights let nobody change anything, so this needs no move. False when
// another object has taken its name since it was judged.
Result<bool> make_private(const std::wstring& path, const Judged& judged,
                          PSECURITY_DESCRIPTOR descriptor) {
    Result<UniqueHandle> h = open_folder(path, kJudgeAccess | WRITE_DAC | WRITE_OWNER);
    if (!h) {
        if (is_gone(h.error()))
            return false;
        return not_made_own(path, "it cannot be opened to be made private: " + h.error().full());
    }
    if (is_link(path, h->get()))
        return refused_link(path);
    if (identity(h->get()) != judged.id)
        return false;
    if (Result<void> given = give_descriptor(h->get(), descriptor); !given)
        return not_made_own(path, "its descriptor cannot be set: " + given.error().full());
    Result<SecurityDescriptor> now = read_descriptor(h->get());
    if (!now)
        return not_made_own(path, "its descriptor cannot be read: " + now.error().full());
    if (why_not_own(now->get()) || others_have_access(now->get()))
        return not_made_own(path, "its descriptor did not take");
    return true;
}

// One folder: made with the private descriptor, or judged; moved aside and made anew when it
// is not the agent's own; made private when others may still read it. What it moves aside is
// added to `notes` at once, so that a later failure loses none of them. `descriptor` is the
// parsed kPrivateFolderSddl.
Result<void> claim(const std::wstring& path, bool is_root, PSECURITY_DESCRIPTOR descriptor,
                   const std::string& create_context, std::vector<std::string>& notes,
                   ClaimProgress& progress) {
    progress.at(text(path));
    for (int round = 0; round < kClaimRounds; ++round) {
        Result<std::optional<UniqueHandle>> created = create_folder(path, descriptor, is_root);
        if (!created)
            return creation_error(std::move(created).error(), create_context);
        // What this call made is judged on its own handle: nothing can stand in its place.
        Result<std::optional<Judged>> judged =
            *created ? judge_handle(path, (*created)->get()) : judge(path);
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
        if (!j.others_have_access)
            return {};
        Result<bool> made_private = make_private(path, j, descriptor);
        if (!made_private)
            return std::move(made_private).error();
        if (*made_private)
            return {};
    }
    return not_made_own(path, fmt::format("what stood under its name changed {} times while the "
                                          "agent looked at it",
                                          kClaimRounds));
}

// Claims data_root and its folder `sub`, on the claims' worker.
Claim claim_folders(const std::wstring& root, const std::wstring& sub,
                    const std::string& create_context, ClaimProgress& progress) {
    Claim c;
    Result<SecurityDescriptor> descriptor = parse_sddl(kPrivateFolderSddl);
    if (!descriptor) {
        c.folder = std::move(descriptor).error();
        return c;
    }
    std::wstring path = root;
    Result<void> claimed = claim(path, true, descriptor->get(), create_context, c.notes, progress);
    if (claimed && !sub.empty()) {
        path = join_path(std::move(path), std::wstring_view(sub));
        claimed = claim(path, false, descriptor->get(), create_context, c.notes, progress);
    }
    if (claimed)
        c.folder = std::move(path);
    else
        c.folder = std::move(claimed).error();
    return c;
}

// data_root and those of its folders that exist, each logged as it is claimed.
void claim_existing(const std::wstring& root, log::Target target, ClaimProgress& progress) {
    Result<SecurityDescriptor> descriptor = parse_sddl(kPrivateFolderSddl);
    if (!descriptor) {
        log::warn(target, "data folder: {:#}", descriptor.error());
        return;
    }
    const auto claim_logged = [&](const std::wstring& path, bool is_root) {
        Claim c;
        Result<void> claimed = claim(path, is_root, descriptor->get(), {}, c.notes, progress);
        c.log_notes(target);
        if (!claimed)
            log::warn(target, "data folder: {:#}", claimed.error());
        return claimed.ok();
    };
    // data_root first, and once: when it goes aside, its folders go with it.
    if (!claim_logged(root, true))
        return;
    for (std::wstring_view sub : kAgentFolders) {
        const std::wstring path = join_path(root, sub);
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            claim_logged(path, false);
    }
}

}  // namespace

SerialWorker& claim_worker() {
    static NoDestroy<SerialWorker> worker;
    return worker.get();
}

Claim claim_data_folder(std::wstring_view sub, log::Target target,
                        const std::string& create_context) {
    // Read here: the folder's name is the caller's, whenever the claim runs.
    std::wstring root = data_root();
    const std::string folder = text(sub.empty() ? root : join_path(root, sub));
    ClaimStep step = [root = std::move(root), sub = std::wstring(sub),
                      create_context](ClaimProgress& progress) {
        return claim_folders(root, sub, create_context, progress);
    };
    return run_claim(claim_worker(), folder, kClaimBound, target, std::move(step));
}

std::optional<std::wstring> find_own_data_folder(std::wstring_view sub) {
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
    }
    return path;
}

void claim_existing_data_folders(log::Target target) {
    const std::wstring root = data_root();
    if (GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    ClaimStep step = [root, target](ClaimProgress& progress) {
        claim_existing(root, target, progress);
        return Claim();
    };
    const Claim c = run_claim(claim_worker(), text(root), kClaimBound, target, std::move(step));
    if (!c)
        log::warn(target, "data folder: {:#}", c.folder.error());
}

}  // namespace qel::win
