#pragma once
// Opens and creates through NtCreateFile, for what CreateFileW and CreateDirectoryW cannot ask
// for: a folder made without following a link that stands in its place, and an open that
// fails rather than wait for another process's oplock.

#include <windows.h>

#include <string>

#include "common/error.h"
#include "common/win/unique_handle.h"

namespace qel::win {

// ERROR_OPLOCK_BREAK_IN_PROGRESS, which mingw-w64's winerror.h lacks.
inline constexpr DWORD kErrorOplockBreakInProgress = 742;

struct NtCreate {
    ACCESS_MASK access = 0;  // SYNCHRONIZE is always added
    ULONG share = 0;
    ULONG disposition = 0;  // FILE_OPEN, FILE_CREATE, FILE_OPEN_IF, ...
    ULONG options = 0;      // FILE_SYNCHRONOUS_IO_NONALERT is always added
    ULONG attributes = FILE_ATTRIBUTE_NORMAL;
    PSECURITY_DESCRIPTOR descriptor = nullptr;  // for what the call creates
};

// NtCreateFile on a Win32 path, which is made absolute first the way CreateFileW makes it.
// A failure is the os error of the Win32 code for its status (a name collision is
// ERROR_ALREADY_EXISTS). With FILE_COMPLETE_IF_OPLOCKED among the options, an open that would
// have had to wait for another process to give up its oplock is the error
// kErrorOplockBreakInProgress, and its handle is closed again.
Result<UniqueHandle> nt_create_file(const std::wstring& path, const NtCreate& how);

}  // namespace qel::win
