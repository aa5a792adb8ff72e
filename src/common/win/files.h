#pragma once
// File-system steps in terms of the Windows API, with the agent's os-error texts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"

namespace qel::win {

// Creates a folder and every missing parent; an existing folder is success.
Result<void> create_dir_all(const std::wstring& path);

// The attributes of a path, symbolic links followed; nothing when the query fails.
struct FileStatus {
    std::uint32_t attributes = 0;
    std::uint32_t reparse_tag = 0;
    bool is_directory() const;
    bool is_symlink() const;  // a reparse point whose tag has the name-surrogate bit
};
std::optional<FileStatus> file_status(const std::wstring& path);

// A file (not a folder, not a dangling link) exists under this name.
bool is_existing_file(const std::wstring& path);

// The whole content of a file; nothing when there is no file or folder of that name. Other
// openers may write or delete the file meanwhile.
Result<std::optional<std::string>> read_file(const std::wstring& path);

// A file written under a temporary name and moved over the target, so that a reader of the
// target sees the old content or the new one whole, never a part.
struct Replacement {
    std::wstring temp;
    std::wstring target;
    // What happens to the old target before the move. A failed delete is ignored: the move
    // then replaces the file, or fails itself.
    enum class OldTarget {
        replaced_by_move,
        deleted,             // DeleteFileW, whether or not it exists
        deleted_if_present,  // only when file_status finds something under the name
    } old_target = OldTarget::replaced_by_move;
    // MOVEFILE_WRITE_THROUGH: the move is on disk when it returns.
    bool write_through = false;
    // Whether a failure after the temporary file's creation deletes it again.
    bool remove_temp_on_failure = false;
    // Put in front of the error of the temporary file's creation and of the move, when not
    // empty; the write and flush errors have no context of their own.
    std::string open_context;
    std::string move_context;
};

// Creates or truncates `temp` (sharing read, write and delete, no security descriptor of its
// own: it inherits the folder's), writes all of `bytes` (a write that takes no bytes is the
// error "failed to write whole buffer"), flushes it to disk, closes it and moves it onto
// `target`. The folder must exist.
Result<void> replace_file(const Replacement& how, std::string_view bytes);

}  // namespace qel::win
