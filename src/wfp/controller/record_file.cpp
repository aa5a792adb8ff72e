#include "wfp/controller/record_file.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <variant>

#include "common/data_root.h"
#include "common/log.h"
#include "common/path_join.h"
#include "common/utf.h"
#include "common/win/files.h"
#include "common/win/own_folder.h"
#include "common/win/security.h"
#include "common/win/unique_handle.h"
#include "common/win_error.h"
#include "wfp/engine/key.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_controller;

// The folder exists: edit_records claims it before it takes the lock. Only the agent's side
// can open the record, so no other account can hold it open and stall the next write.
Result<void> write_records(const std::wstring& path, const std::string& text) {
    win::Replacement how{path + L".tmp", path};
    how.write_through = true;
    how.remove_temp_on_failure = true;
    how.private_file = true;
    return win::replace_file(how, text);
}

Result<void> remove_file(const std::wstring& path) {
    if (DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
        return {};
    return win::last_os_error();
}

// Moves a corrupt file to "<path>.corrupt-<UTC time>": a person may want to see what it held,
// and nothing that lies there already is overwritten. The new name.
Result<std::wstring> move_corrupt_aside(const std::wstring& path) {
    return win::move_aside(path, L"corrupt", [&](const std::wstring& to) -> DWORD {
        return MoveFileExW(path.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ? ERROR_SUCCESS
                                                                             : GetLastError();
    });
}

// Why an edit leaves the file as it is.
enum class LeftAlone {
    unusable,       // it cannot be read, or it is corrupt and cannot be moved aside
    later_version,  // a later agent's format, whose entries this agent must not lose
};

// The records on disk; a corrupt file is moved aside and holds none.
std::variant<std::vector<KillSwitchRecord>, LeftAlone> load(const std::wstring& path) {
    Result<std::optional<std::string>> text = win::read_file(path);
    if (!text) {
        log::warn(kLog, "kill-switch: cannot read record file {}: {}", to_utf8_lossy(path),
                  text.error());
        return LeftAlone::unusable;
    }
    if (!*text || (*text)->empty())
        return std::vector<KillSwitchRecord>{};
    Result<ParsedRecords> parsed = parse_records(**text);
    if (!parsed) {
        Result<std::wstring> aside = move_corrupt_aside(path);
        if (!aside) {
            log::warn(kLog,
                      "kill-switch: record file {} is corrupt ({}) and cannot be moved aside: "
                      "{:#}; leaving it as it is",
                      to_utf8_lossy(path), parsed.error(), aside.error());
            return LeftAlone::unusable;
        }
        log::warn(kLog, "kill-switch: record file {} is corrupt ({}); moved it aside to {}",
                  to_utf8_lossy(path), parsed.error(), to_utf8_lossy(*aside));
        return std::vector<KillSwitchRecord>{};
    }
    if (const LaterVersion* later = std::get_if<LaterVersion>(&*parsed)) {
        log::warn(kLog,
                  "kill-switch: record file {} has version {}, a later agent's format; leaving "
                  "it as it is: nothing is recorded in it or removed for it",
                  to_utf8_lossy(path), later->version);
        return LeftAlone::later_version;
    }
    return std::get<std::vector<KillSwitchRecord>>(std::move(*parsed));
}

// The lock of the record file: held while its handle is open. DELETE_ON_CLOSE keeps the folder
// clean; an opener that meets the file while its deletion is pending is refused like one that
// meets it open, and tries again. It is made with the private descriptor, so no other account
// can open (and hold) it, and never opened through a link.
Result<win::UniqueHandle> lock_records(const std::wstring& path) {
    Result<win::SecurityDescriptor> descriptor = win::parse_sddl(win::kPrivateFileSddl);
    if (!descriptor)
        return std::move(descriptor).error();
    SECURITY_ATTRIBUTES sa{sizeof(sa), descriptor->get(), FALSE};
    const auto deadline = std::chrono::steady_clock::now() + kRecordLockWait;
    for (;;) {
        Result<win::UniqueHandle> h =
            win::open_no_follow(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, &sa);
        const std::optional<std::uint32_t> err = h ? std::nullopt : h.error().os_code();
        if (err != ERROR_SHARING_VIOLATION && err != ERROR_ACCESS_DENIED)
            return h;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::move(h).error().context(fmt::format(
                "held by another process for more than {} ms", kRecordLockWait.count()));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<UuidBytes> uuids_of(std::span<const GUID> keys) {
    std::vector<UuidBytes> out;
    out.reserve(keys.size());
    for (const GUID& k : keys)
        out.push_back(uuid_of(k));
    return out;
}

void store(const std::wstring& path, const std::vector<KillSwitchRecord>& records) {
    Result<void> r =
        records.empty() ? remove_file(path) : write_records(path, format_records(records));
    if (!r)
        log::warn(kLog, "kill-switch: cannot write record file {}: {}", to_utf8_lossy(path),
                  r.error());
}

}  // namespace

std::wstring record_file_path() {
    return join_path(runtime_dir(), std::wstring_view(L"kill-switch.json"));
}

const std::string& this_run() {
    static const std::string id = guid_text(new_wfp_key());
    return id;
}

void edit_records(const std::function<void(std::vector<KillSwitchRecord>&)>& edit, bool create,
                  bool* later_version) {
    static std::mutex m;
    std::lock_guard lock(m);
    const std::wstring path = record_file_path();
    // Without `create` there is nothing to do unless a record lies in an own folder, so
    // nothing is made or moved for it.
    if (create) {
        const win::Claim claim = win::claim_data_folder(kRuntimeFolder, kLog);
        claim.log_notes(kLog);
        if (!claim) {
            log::warn(kLog, "kill-switch: cannot write record file {}: {:#}", to_utf8_lossy(path),
                      claim.folder.error());
            return;
        }
    } else if (!win::find_own_data_folder(kRuntimeFolder) ||
               GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    Result<win::UniqueHandle> file_lock = lock_records(path + L".lock");
    if (!file_lock) {
        log::warn(kLog, "kill-switch: cannot lock record file {}: {:#}", to_utf8_lossy(path),
                  file_lock.error());
        return;
    }
    std::variant<std::vector<KillSwitchRecord>, LeftAlone> loaded = load(path);
    if (const LeftAlone* why = std::get_if<LeftAlone>(&loaded)) {
        if (later_version != nullptr && *why == LeftAlone::later_version)
            *later_version = true;
        return;
    }
    std::vector<KillSwitchRecord>& records = std::get<std::vector<KillSwitchRecord>>(loaded);
    const std::vector<KillSwitchRecord> before = records;
    edit(records);
    if (records != before)
        store(path, records);
}

}  // namespace qel::wfp

namespace qel::wfp {

RecordEntry::RecordEntry(const KeyPlan& plan) : sublayer_(uuid_of(plan.sublayer)) {
    KillSwitchRecord record{this_run(), this_process(), false, sublayer_, uuids_of(plan.filters)};
    bool later_version = false;
    edit_records([&](std::vector<KillSwitchRecord>& records) { records.push_back(record); },
                 /*create=*/true, &later_version);
    recording_ = !later_version;
}

void RecordEntry::narrow_to(std::span<const GUID> filters) const {
    if (!recording_)
        return;
    KillSwitchRecord record{this_run(), this_process(), false, sublayer_, uuids_of(filters)};
    edit_records([&](std::vector<KillSwitchRecord>& records) {
        const auto mine = std::find_if(records.begin(), records.end(), [&](const auto& r) {
            return r.run == this_run() && r.sublayer == sublayer_;
        });
        if (mine == records.end())
            records.push_back(record);
        else
            *mine = record;
    });
}

void RecordEntry::released(const Remains& remains) const {
    if (!recording_)
        return;
    KillSwitchRecord record{this_run(), this_process(), true, sublayer_, uuids_of(remains.filters)};
    edit_records(
        [&](std::vector<KillSwitchRecord>& records) {
            std::erase_if(records, [&](const KillSwitchRecord& r) {
                return r.run == this_run() && r.sublayer == sublayer_;
            });
            if (!remains.empty())
                records.push_back(record);
        },
        /*create=*/!remains.empty());
}

}  // namespace qel::wfp
