#include <windows.h>

#include <cerrno>
#include <optional>

#include "common/os_error.h"
#include "common/win_error.h"

namespace qel {
namespace {

// The Windows codes behind the errno values that thread creation reports.
std::optional<DWORD> win32_code_of_errno(int e) {
    switch (e) {
        case EAGAIN:
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return std::nullopt;
    }
}

}  // namespace

// asio reports a failed Windows call in the system category, with the Windows code. std::thread
// reports the pthreads layer's errno in the generic category; the reason of the CreateThread
// below it is then still the thread's last error.
Error os_error_from(const std::system_error& e) {
    const DWORD last = GetLastError();
    if (e.code().category() == std::system_category())
        return win::os_error(static_cast<DWORD>(e.code().value()));
    if (last != ERROR_SUCCESS)
        return win::os_error(last);
    if (const std::optional<DWORD> code = win32_code_of_errno(e.code().value()))
        return win::os_error(*code);
    return Error(e.what());  // nothing tells a Windows code
}

void clear_os_error() noexcept {
    SetLastError(ERROR_SUCCESS);
}

}  // namespace qel
