#include "common/win/own_folder.h"

#include <windows.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
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

// Sharing for the pins: others may read and write what the folder holds, but no one may open
// the folder for deletion, which a rename or a move needs too.
constexpr DWORD kPinShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Planted folders are emptied this deep at most; what lies deeper stays (and is never used).
constexpr int kMaxPlantedDepth = 16;
constexpr std::array<std::wstring_view, 2> kAgentFolders = {kRuntimeFolder, kLogsFolder};
// In each claimed folder once it has been swept.
constexpr std::wstring_view kSweptMarker = L".qel-owned";

bool same_name(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

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

UniqueHandle open_folder(const std::wstring& path, DWORD access) {
    return UniqueHandle(CreateFileW(path.c_str(), access, kPinShare, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
}

struct Entry {
    std::wstring path;
    DWORD attributes;
};

// Listed whole before anything is removed, so that removals cannot upset the listing.
std::vector<Entry> entries_of(const std::wstring& dir, bool skip_agent_folders) {
    std::vector<Entry> out;
    WIN32_FIND_DATAW fd{};
    const std::wstring pattern = join_path(dir, std::wstring_view(L"*"));
    HANDLE find =
        FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return out;
    do {
        const std::wstring_view name(fd.cFileName);
        if (name == L"." || name == L"..")
            continue;
        if (skip_agent_folders && std::any_of(kAgentFolders.begin(), kAgentFolders.end(),
                                              [&](auto f) { return same_name(name, f); })) {
            continue;
        }
        out.push_back({join_path(dir, name), fd.dwFileAttributes});
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return out;
}

// Removes the name only: a second name (hard link) of another file leaves that file alone.
Result<void> remove_file(const Entry& e) {
    if (!DeleteFileW(e.path.c_str()))
        return last_os_error();
    return {};
}

bool is_folder(const Entry& e) {
    return (e.attributes & FILE_ATTRIBUTE_DIRECTORY) && !has_link_attribute(e.attributes);
}

// Removes a folder that another account made, with all it holds. It is given the agent's
// descriptor first, so that its owner cannot add to it meanwhile, and held open so that it
// cannot be swapped for a link while it is emptied. Links in it are left (see sweep), and keep
// it from being removed.
Result<void> remove_planted_tree(const Entry& dir, PSECURITY_DESCRIPTOR descriptor, int depth) {
    if (depth > kMaxPlantedDepth)
        return Error(fmt::format("it holds folders more than {} deep", kMaxPlantedDepth));
    std::optional<Error> first;
    {
        UniqueHandle pin = open_folder(dir.path, READ_CONTROL | WRITE_DAC | WRITE_OWNER |
                                                     FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES);
        if (!pin)
            return last_os_error();
        if (is_link(dir.path, pin.get()))
            return Error("it has become a link");
        (void)give_descriptor(pin.get(), descriptor);  // best effort: the removal below decides
        for (const Entry& e : entries_of(dir.path, false)) {
            Result<void> r = Result<void>();
            if (has_link_attribute(e.attributes))
                r = Error(fmt::format("{} is a link", text(e.path)));
            else if (is_folder(e))
                r = remove_planted_tree(e, descriptor, depth + 1);
            else
                r = remove_file(e);
            if (!r && !first)
                first = std::move(r).error();
        }
    }
    if (first)
        return std::move(*first);
    if (!RemoveDirectoryW(dir.path.c_str()))
        return last_os_error();
    return {};
}

struct Verdict {
    std::optional<std::string> why;  // nothing: the agent's own
    bool link = false;
};

// Why another account could change the entry.
Verdict examine(const Entry& e) {
    if (has_link_attribute(e.attributes))
        return {std::string(kIsALink), true};
    Result<std::optional<std::string>> why = why_unusable(e.path);
    if (!why)
        return {"it cannot be examined: " + why.error().full()};
    return {*why, *why == kIsALink};
}

// Links are left where they are: they are never followed, so nothing behind them is written,
// and removing one is not safe everywhere (Wine removes a folder link's target). True when
// nothing that another account could change is left.
bool sweep(const std::wstring& dir, bool is_root, PSECURITY_DESCRIPTOR descriptor,
           std::vector<std::string>& notes) {
    bool clean = true;
    for (const Entry& e : entries_of(dir, is_root)) {
        const Verdict v = examine(e);
        if (!v.why)
            continue;
        if (v.link) {
            notes.push_back(fmt::format(
                "data folder: leaving {} alone: it is a link, and the agent never follows it",
                text(e.path)));
            continue;
        }
        Result<void> removed =
            is_folder(e) ? remove_planted_tree(e, descriptor, 0) : remove_file(e);
        if (removed) {
            notes.push_back(fmt::format("data folder: removed {}: {}", text(e.path), *v.why));
        } else if (GetFileAttributesW(e.path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            clean = false;
            notes.push_back(
                fmt::format("data folder: cannot remove {} ({}): {:#}; it is left alone and not "
                            "used",
                            text(e.path), *v.why, removed.error()));
        }
    }
    return clean;
}

// The marker of a swept folder, made only once a sweep has left nothing that another account
// could change: a claim cut short before then (the process killed) leaves none, and the next
// claim sweeps again.
bool is_own_file(const std::wstring& path) {
    const Result<std::optional<std::string>> why = why_unusable(path);
    return why && !why.value();
}

void mark_swept(const std::wstring& path) {
    const UniqueHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr));
    // When it cannot be made (it exists: another claim made it), the next claim looks again.
}

Error creation_error(Error e, const std::string& context) {
    if (!context.empty())
        e.context(context);
    return e;
}

// One folder: created with the descriptor, or checked and given it; then swept and pinned.
Result<UniqueHandle> claim(const std::wstring& path, bool is_root, PSECURITY_DESCRIPTOR descriptor,
                           const std::string& create_context, std::vector<std::string>& notes) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), descriptor, FALSE};
    if (!CreateDirectoryW(path.c_str(), &sa)) {
        DWORD err = GetLastError();
        if (err == ERROR_PATH_NOT_FOUND && is_root) {
            if (Result<void> up = create_dir_all(parent_folder(path)); !up)
                return creation_error(std::move(up).error(), create_context);
            err = CreateDirectoryW(path.c_str(), &sa) ? ERROR_SUCCESS : GetLastError();
        }
        if (err != ERROR_SUCCESS && err != ERROR_ALREADY_EXISTS)
            return creation_error(os_error(err), create_context);
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return creation_error(last_os_error(), create_context);
    if (has_link_attribute(attributes))
        return refused_link(path);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return creation_error(os_error(ERROR_ALREADY_EXISTS), create_context);

    UniqueHandle pin = open_folder(
        path, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES);
    if (!pin)
        return not_made_own(path, os_error_text(GetLastError()));
    // Checked again on the handle: the folder may have been swapped before it was pinned.
    if (is_link(path, pin.get()))
        return refused_link(path);
    const bool was_own = !why_not_own(pin.get());
    if (Result<void> given = give_descriptor(pin.get(), descriptor); !given)
        return not_made_own(path, given.error().full());
    if (const auto why = why_not_own(pin.get()))
        return not_made_own(path, "its descriptor did not take: " + *why);
    // Swept once, when the folder becomes the agent's: from then on no other account can add
    // to it. A sweep at every claim would also hold up other agent processes, whose moves
    // cannot replace a file that the sweep has open that moment.
    const std::wstring marker = join_path(path, kSweptMarker);
    if (!was_own || !is_own_file(marker)) {
        DeleteFileW(marker.c_str());
        // What could not be removed (a file that its planter holds open) is tried again.
        if (sweep(path, is_root, descriptor, notes))
            mark_swept(marker);
    }
    return pin;
}

}  // namespace

void OwnFolder::log_notes(log::Target target) const {
    for (const std::string& note : notes_)
        log::warn(target, "{}", note);
}

Result<OwnFolder> claim_data_folder(std::wstring_view sub, const std::string& create_context) {
    Result<SecurityDescriptor> descriptor = parse_sddl(kAgentFolderSddl);
    if (!descriptor)
        return std::move(descriptor).error();
    std::vector<UniqueHandle> pins;
    std::vector<std::string> notes;
    std::wstring path = data_root();
    Result<UniqueHandle> root = claim(path, true, descriptor->get(), create_context, notes);
    if (!root)
        return std::move(root).error();
    pins.push_back(std::move(root).value());
    if (!sub.empty()) {
        path = join_path(std::move(path), sub);
        Result<UniqueHandle> below = claim(path, false, descriptor->get(), create_context, notes);
        if (!below)
            return std::move(below).error();
        pins.push_back(std::move(below).value());
    }
    return OwnFolder(std::move(path), std::move(pins), std::move(notes));
}

void claim_existing_data_folders(log::Target target) {
    const std::wstring root = data_root();
    if (GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    // Each claim of one of its folders claims data_root too.
    std::vector<std::wstring_view> subs;
    for (std::wstring_view sub : kAgentFolders) {
        if (GetFileAttributesW(join_path(root, sub).c_str()) != INVALID_FILE_ATTRIBUTES)
            subs.push_back(sub);
    }
    if (subs.empty())
        subs.push_back({});
    for (std::wstring_view sub : subs) {
        Result<OwnFolder> claimed = claim_data_folder(sub);
        if (claimed)
            claimed->log_notes(target);
        else
            log::warn(target, "data folder: {:#}", claimed.error());
    }
}

}  // namespace qel::win
