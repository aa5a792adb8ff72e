#include "common/win/nt_create.h"

#include <windows.h>
// windows.h first: winternl.h builds on it.
#include <winternl.h>

#include <string_view>

#include "common/win/files.h"
#include "common/win_error.h"

namespace qel::win {
namespace {

// Not taken from ntstatus.h, which clashes with windows.h under MSVC.
constexpr NTSTATUS kStatusOplockBreakInProgress = 0x00000108;

bool starts_with(const std::wstring& s, std::wstring_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// "\??\C:\a" for "C:\a", "\??\UNC\server\share\a" for "\\server\share\a"; "\\?\" and "\\.\"
// paths keep what follows their prefix.
Result<std::wstring> nt_path(const std::wstring& path) {
    Result<std::wstring> full = full_path(path);
    if (!full)
        return full;
    const std::wstring& f = *full;
    if (starts_with(f, LR"(\\?\)") || starts_with(f, LR"(\\.\)"))
        return LR"(\??\)" + f.substr(4);
    if (starts_with(f, LR"(\\)"))
        return LR"(\??\UNC\)" + f.substr(2);
    return LR"(\??\)" + f;
}

}  // namespace

Result<UniqueHandle> nt_create_file(const std::wstring& path, const NtCreate& how) {
    Result<std::wstring> nt = nt_path(path);
    if (!nt)
        return std::move(nt).error();
    // A UNICODE_STRING counts its bytes in 16 bits.
    if (nt->size() * sizeof(wchar_t) > 0xfffe)
        return os_error(ERROR_FILENAME_EXCED_RANGE);
    UNICODE_STRING name{};
    name.Buffer = nt->data();
    name.Length = name.MaximumLength = static_cast<USHORT>(nt->size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes{};
    // Case-insensitive, as CreateFileW opens.
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr,
                               how.descriptor);
    IO_STATUS_BLOCK io{};
    HANDLE h = nullptr;
    const NTSTATUS status = NtCreateFile(
        &h, how.access | SYNCHRONIZE, &attributes, &io, nullptr, how.attributes, how.share,
        how.disposition, how.options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0)
        return os_error(RtlNtStatusToDosError(status));
    UniqueHandle opened(h);
    if (status == kStatusOplockBreakInProgress)
        return os_error(kErrorOplockBreakInProgress);
    return opened;
}

}  // namespace qel::win
