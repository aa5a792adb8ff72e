#pragma once
// The agent's data folders (data_root and the folders below it) as folders of its own: made by
// the agent with its descriptor in the same call, or found with a descriptor that gives no
// other account a right to change them. A folder that is not provably the agent's own is
// never used, changed or emptied: it is moved aside whole, and a fresh one takes its place.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/log.h"
#include "common/win/unique_handle.h"

namespace qel::win {

// A folder of the agent's own, held open without delete sharing so that neither it nor a
// folder above it up to data_root can be renamed, moved or replaced while the holder works in
// it.
class OwnFolder {
  public:
    OwnFolder(std::wstring path, std::vector<UniqueHandle> pins, std::vector<std::string> notes)
        : path_(std::move(path)), pins_(std::move(pins)), notes_(std::move(notes)) {}

    const std::wstring& path() const { return path_; }
    // What the claim moved aside, one line each.
    const std::vector<std::string>& notes() const { return notes_; }
    void log_notes(log::Target target) const;

  private:
    std::wstring path_;
    std::vector<UniqueHandle> pins_;  // data_root first
    std::vector<std::string> notes_;
};

// Claims data_root and, when `sub` is not empty, its folder of that name, in that order. A
// missing folder is created with the agent's descriptor (runtime\ with the private one). An
// existing one is judged on a handle opened without following a link:
// - the agent's own (owner SYSTEM, Administrators or this process's user; no other account
//   may change it or what is made in it): used as it is; runtime\ that still lets others read
//   is given the private descriptor;
// - a link (symbolic link, junction, any reparse point): refused, never followed or moved;
//   the error names it;
// - anything else, a folder that cannot even be judged included: renamed aside whole within
//   its parent to "<name>.untrusted-<UTC time>" (a note names both names) and made anew.
//   Nothing in it is touched or deleted. When the rename fails, so does the claim, with an
//   error that names the folder and the reason.
// A file of the agent's own in a folder's place, and a failed creation, are the system's error
// under `create_context`, when that is not empty. Folders missing above data_root are created
// as they are, and nothing above data_root is changed.
Result<OwnFolder> claim_data_folder(std::wstring_view sub, const std::string& create_context = {});

// data_root and its folder `sub` as they are, when both exist and are the agent's own; nothing
// otherwise. Nothing is created, moved or changed, and nothing is logged.
std::optional<OwnFolder> find_own_data_folder(std::wstring_view sub);

// At the agent's start: claims data_root and each of its own folders when they exist already,
// so that what is not the agent's own is moved aside before anything is written. What the
// claims did, and a folder that cannot be claimed, are WARN events under `target`.
void claim_existing_data_folders(log::Target target);

}  // namespace qel::win
