#pragma once
// The record file, runtime_dir()\kill-switch.json: the keys of every kill switch whose
// objects may still be installed, including those of agent processes that ended without
// removing them.

#include <chrono>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "wfp/controller/record.h"
#include "wfp/engine/key.h"
#include "wfp/kill_switch/kill_switch.h"

namespace qel::wfp {

std::wstring record_file_path();

// The run id of this agent process, written into its records; random, made at first use.
const std::string& this_run();

// How long an edit waits for another agent process's edit of the file to end.
inline constexpr std::chrono::milliseconds kRecordLockWait{5000};

// Reads the records, lets `edit` change them and writes them back when they changed. Other
// agent processes edit the same file, so the whole read-modify-write holds a lock that they
// take too (a lock file opened without sharing, which the system closes when its holder ends,
// however it ends). The write is atomic (a flushed temporary file moved over the old one); an
// empty list removes the file. Without `create`, nothing happens when there is no file. A
// corrupt file is moved aside to "kill-switch.json.corrupt-<UTC time>", kept for a person,
// and `edit` starts from an empty list. A file that cannot be read, locked or moved aside is
// logged and left alone, and `edit` is not called; so is a file of a later agent's format,
// which this agent must not rewrite: then `*later_version` is set to true, when given.
void edit_records(const std::function<void(std::vector<KillSwitchRecord>&)>& edit,
                  bool create = true, bool* later_version = nullptr);

// This process's entry for one kill switch, identified by its sublayer key.
class RecordEntry {
  public:
    // Writes the entry with every key of the plan, before any of those objects exists. A
    // failure to write is only logged: the kill switch still engages, and a later update may
    // still get it onto the disk. A file of a later agent's format is the exception: this kill
    // switch then goes unrecorded, and the entry's later edits are not tried, so that the one
    // warning stands for the whole engage.
    explicit RecordEntry(const KeyPlan& plan);

    // Narrows the entry to the keys that were handed to a filter add, in that order: the
    // installed filters and those whose add reported failure, which may have gone in all the
    // same.
    void narrow_to(std::span<const GUID> filters) const;

    // After the kill switch's release: the entry is dropped when nothing remains, otherwise it
    // names what remains and is marked released, so that any agent may remove it.
    void released(const Remains& remains) const;

  private:
    UuidBytes sublayer_;
    bool recording_ = true;  // false: the file is a later agent's
};

}  // namespace qel::wfp
