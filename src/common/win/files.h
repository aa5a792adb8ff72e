#pragma once
// File-system steps in terms of the Windows API, with the agent's os-error texts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/win/unique_handle.h"

namespace qel::win {

// Creates a folder and every missing parent; an existing folder is success.
Result<void> create_dir_all(const std::wstring& path);

// The folder a path names its last part in ("C:\a" for "C:\a\b"); empty when there is none.
std::wstring parent_folder(const std::wstring& path);

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

// Whether attributes (GetFileAttributesW's, a listing's) show a link: a reparse point.
bool has_link_attribute(std::uint32_t attributes);

// Whether the object that `h` was opened on, without following a link, under `path` is a link
// (a reparse point): the handle shows it on Windows, Wine shows a folder link only on the path.
bool is_link(const std::wstring& path, HANDLE h);

// why_unusable's reason for a link.
inline constexpr std::string_view kIsALink = "it is a link";

// Why the agent must not use the object that `h` was opened on, without following a link,
// under `path`: it is a link, a file with further names (hard links), or not the agent's own
// (why_not_own). Nothing when it may. The handle needs READ_CONTROL and FILE_READ_ATTRIBUTES.
std::optional<std::string> why_unusable(const std::wstring& path, HANDLE h);
// The same for the file or folder at `path`, opened for reading its descriptor only, which no
// other opener's sharing can refuse; an error when it cannot be opened (it is gone, say).
Result<std::optional<std::string>> why_unusable(const std::wstring& path);

// Writes all of `bytes`; a write that takes no bytes is the error "failed to write whole
// buffer".
Result<void> write_all(HANDLE file, std::string_view bytes);

// The whole content of one of the agent's files; nothing when there is no file or folder of
// that name. A link is not followed and a file that is not the agent's own is not read
// (why_unusable): both are errors. Other openers may write or delete the file meanwhile.
Result<std::optional<std::string>> read_file(const std::wstring& path);

// One of the agent's files, opened for appending (and created when missing) without following
// a link; an existing file that is not the agent's own is refused (why_unusable).
Result<UniqueHandle> open_for_append(const std::wstring& path);

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
    // Created with the private descriptor (kPrivateFileSddl) instead of inheriting the folder's.
    bool private_file = false;
    // Put in front of the error of the temporary file's creation and of the move, when not
    // empty; the write and flush errors have no context of their own.
    std::string open_context;
    std::string move_context;
};

// Creates `temp` afresh (sharing read, write and delete; it inherits the folder's descriptor
// unless it is a private file), writes all of `bytes` (a write that takes no bytes is the
// error "failed to write whole buffer"), flushes it to disk, closes it and moves it onto
// `target`. A file already under the temporary name is deleted first and never written
// through, whatever it is (a link, a file another process holds open). The folder must exist.
Result<void> replace_file(const Replacement& how, std::string_view bytes);

}  // namespace qel::win
