#pragma once
// The agent's data folders (data_root and the folders below it) as folders of its own: no
// other account can plant, hold or link anything in them that the agent then writes through.

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/log.h"
#include "common/win/unique_handle.h"

namespace qel::win {

// A claimed folder, held open without delete sharing so that neither it nor a folder above it
// up to data_root can be renamed, moved or replaced while the holder works in it.
class OwnFolder {
  public:
    OwnFolder(std::wstring path, std::vector<UniqueHandle> pins, std::vector<std::string> notes)
        : path_(std::move(path)), pins_(std::move(pins)), notes_(std::move(notes)) {}

    const std::wstring& path() const { return path_; }
    // What the claim found that other accounts could change, and what it did about it.
    const std::vector<std::string>& notes() const { return notes_; }
    void log_notes(log::Target target) const;

  private:
    std::wstring path_;
    std::vector<UniqueHandle> pins_;  // data_root first
    std::vector<std::string> notes_;
};

// Claims data_root and, when `sub` is not empty, its folder of that name, in that order. Each
// is created with the agent's folder descriptor, or, when it exists already, given it. A
// folder that was not the agent's own before, or that was never swept to the end (it holds no
// marker ".qel-owned"), is then swept: every entry in it that another account could change
// (owned by another account, writable by one, a file with other hard links) is removed; a link
// is left alone and never followed. data_root's own folders ("runtime", "logs") are claimed
// only when they are used.
//
// A folder that is a link (symbolic link, junction, any reparse point) is never followed, and a
// folder whose descriptor cannot be set is refused: the error names it. A creation failure is
// the system's error under `create_context`, when that is not empty. Folders missing above
// data_root are created as they are, and nothing above data_root is changed.
Result<OwnFolder> claim_data_folder(std::wstring_view sub, const std::string& create_context = {});

// At the agent's start: claims data_root and each of its own folders that exist already, so
// that from the first start on nothing under data_root is writable by another account. What
// the claims find, and a folder that cannot be claimed, are WARN events under `target`.
void claim_existing_data_folders(log::Target target);

}  // namespace qel::win
