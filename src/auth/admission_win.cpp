#include <windows.h>

#include <fmt/format.h>

#include "auth/admission.h"
#include "common/win_error.h"

namespace qel::auth {

Result<std::uint32_t> check_console_session(void* pipe_handle) {
    ULONG client = 0;
    if (!GetNamedPipeClientSessionId(pipe_handle, &client))
        return Error(
            fmt::format("GetNamedPipeClientSessionId failed: {}", win::last_error_hresult_text()));
    return admit_console_client(client, WTSGetActiveConsoleSessionId());
}

}  // namespace qel::auth
