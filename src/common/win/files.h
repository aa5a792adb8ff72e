#pragma once
// File-system steps in terms of the Windows API, with the agent's os-error texts.

#include <windows.h>

#include <cstdint>
#include <functional>
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

// The absolute form of a path, as GetFullPathNameW makes it against the current folder.
Result<std::wstring> full_path(const std::wstring& path);

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

// Opens the file or folder at `path` itself, never what a link there points to: a link is
// refused ("refusing <path>: it is a link"), whether the path or the handle shows it. The
// arguments are CreateFileW's; FILE_FLAG_OPEN_REPARSE_POINT and FILE_READ_ATTRIBUTES are added.
Result<UniqueHandle> open_no_follow(const std::wstring& path, DWORD access, DWORD share,
                                    DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL,
                                    SECURITY_ATTRIBUTES* security = nullptr);

// Moves what `path` names aside to "<path>.<tag>-YYYYMMDDTHHMMSSZ" (the UTC time), or to that
// name with "-2", "-3", ... while it is taken, so that nothing already there is overwritten.
// `rename` makes one attempt at one such name and returns 0 or the system's error code. The
// name it was given.
Result<std::wstring> move_aside(const std::wstring& path, std::wstring_view tag,
                                const std::function<DWORD(const std::wstring& to)>& rename);

// Makes one synchronous call on this thread that may wait on another process (a rename held
// up by an oplock), so that it can be interrupted: in a SerialWorker job whose caller stops
// waiting, CancelSynchronousIo ends the wait, and once the caller has stopped waiting the call
// is not made at all. 0 when `call` succeeds; otherwise its error code, ERROR_OPERATION_ABORTED
// when it was cancelled or not made.
DWORD interruptible_call(const std::function<BOOL()>& call);

// Writes all of `bytes`; a write that takes no bytes is the error "failed to write whole
// buffer".
Result<void> write_all(HANDLE file, std::string_view bytes);

// The whole content of one of the agent's files; nothing when there is no file or folder of
// that name. A link is refused, never followed. Other openers may write or delete the file
// meanwhile.
Result<std::optional<std::string>> read_file(const std::wstring& path);

// One of the agent's files, opened for appending (and created when missing), readers allowed;
// a link is refused, never followed. It does not wait for another process: one that holds the
// file so that it cannot be opened, or has an oplock on it that the open would break, fails
// the open (ERROR_SHARING_VIOLATION, kErrorOplockBreakInProgress).
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
        deleted_if_present,  // only when something stands under the name (links not followed)
    } old_target = OldTarget::replaced_by_move;
    // What happens to a file left under the temporary name. In the agent's own folders it is
    // deleted and the file made anew (CREATE_NEW), so that two agent processes writing at once
    // never share one temporary file; in a user's folder it is truncated.
    enum class LeftoverTemp { made_anew, truncated } leftover_temp = LeftoverTemp::made_anew;
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

// Creates `temp` (sharing read, write and delete; it inherits the folder's descriptor unless it
// is a private file), writes all of `bytes` (a write that takes no bytes is the error "failed
// to write whole buffer"), flushes it to disk, closes it and moves it onto `target`. The
// folder must exist.
Result<void> replace_file(const Replacement& how, std::string_view bytes);

}  // namespace qel::win
