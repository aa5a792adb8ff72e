#include "wfp/controller/record_file.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "common/data_root.h"
#include "common/log.h"
#include "common/path_join.h"
#include "common/utf.h"
#include "common/win/files.h"
#include "common/win/unique_handle.h"
#include "common/win_error.h"
#include "wfp/engine/key.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_controller;

// The folder exists: edit_records makes it before it takes the lock.
Result<void> write_records(const std::wstring& path, const std::string& text) {
    win::Replacement how{path + L".tmp", path};
    how.write_through = true;
    how.remove_temp_on_failure = true;
    return win::replace_file(how, text);
}

Result<void> remove_file(const std::wstring& path) {
    if (DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
        return {};
    return win::last_os_error();
}

// The records on disk; nothing when the file exists but cannot be read.
std::optional<std::vector<KillSwitchRecord>> load(const std::wstring& path) {
    Result<std::optional<std::string>> text = win::read_file(path);
    if (!text) {
        log::warn(kLog, "kill-switch: cannot read record file {}: {}", to_utf8_lossy(path),
                  text.error());
        return std::nullopt;
    }
    if (!*text || (*text)->empty())
        return std::vector<KillSwitchRecord>{};
    Result<std::vector<KillSwitchRecord>> records = parse_records(**text);
    if (!records) {
        log::warn(kLog, "kill-switch: record file {} is corrupt ({}); removing it",
                  to_utf8_lossy(path), records.error());
        if (Result<void> r = remove_file(path); !r)
            log::warn(kLog, "kill-switch: cannot remove record file {}: {}", to_utf8_lossy(path),
                      r.error());
        return std::vector<KillSwitchRecord>{};
    }
    return std::move(records).value();
}

// The lock of the record file: held while its handle is open. DELETE_ON_CLOSE keeps the folder
// clean; an opener that meets the file while its deletion is pending is refused like one that
// meets it open, and tries again.
Result<win::UniqueHandle> lock_records(const std::wstring& path) {
    const auto deadline = std::chrono::steady_clock::now() + kRecordLockWait;
    for (;;) {
        win::UniqueHandle h(
            CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (h)
            return h;
        const DWORD err = GetLastError();
        if (err != ERROR_SHARING_VIOLATION && err != ERROR_ACCESS_DENIED)
            return win::os_error(err);
        if (std::chrono::steady_clock::now() >= deadline)
            return win::os_error(err).context(fmt::format(
                "held by another process for more than {} ms", kRecordLockWait.count()));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<UuidBytes> uuids_of(const std::vector<GUID>& keys) {
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

void edit_records(const std::function<void(std::vector<KillSwitchRecord>&)>& edit, bool create) {
    static std::mutex m;
    std::lock_guard lock(m);
    const std::wstring path = record_file_path();
    if (!create && !win::file_status(path))
        return;
    if (Result<void> dir = win::create_dir_all(runtime_dir()); !dir) {
        log::warn(kLog, "kill-switch: cannot write record file {}: {}", to_utf8_lossy(path),
                  dir.error());
        return;
    }
    Result<win::UniqueHandle> file_lock = lock_records(path + L".lock");
    if (!file_lock) {
        log::warn(kLog, "kill-switch: cannot lock record file {}: {:#}", to_utf8_lossy(path),
                  file_lock.error());
        return;
    }
    std::optional<std::vector<KillSwitchRecord>> records = load(path);
    if (!records)
        return;
    const std::vector<KillSwitchRecord> before = *records;
    edit(*records);
    if (*records != before)
        store(path, *records);
}

}  // namespace qel::wfp

namespace qel::wfp {

RecordEntry::RecordEntry(const KeyPlan& plan) : sublayer_(uuid_of(plan.sublayer)) {
    KillSwitchRecord record{this_run(), this_process(), false, sublayer_, uuids_of(plan.filters)};
    edit_records([&](std::vector<KillSwitchRecord>& records) { records.push_back(record); });
}

void RecordEntry::installed(const std::vector<GUID>& filters) const {
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
