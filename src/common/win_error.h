#pragma once
// The agent's three forms of a Windows failure:
//  - os_error_text:   "<system message> (os error <code>)" for files, pipes, processes;
//  - hresult_text:    "<system message> (0xHHHHHHHH)", or the HRESULT alone without a message;
//  - return codes of the filtering and IP Helper calls, printed by the caller with {:#x}.

#include <cstdint>
#include <string>

#include "common/error.h"

namespace qel::win {

// The system's message for a Win32 code or an HRESULT, trailing white space removed;
// empty when the system has none.
std::string system_message(std::uint32_t code);

std::string os_error_text(std::uint32_t code);
std::int32_t hresult_from_win32(std::uint32_t code);
std::string hresult_text(std::int32_t hr);

// An Error for GetLastError() in the os-error form (keeps the code).
Error last_os_error();
// The os-error form of a given code.
Error os_error(std::uint32_t code);
// hresult_text of HRESULT_FROM_WIN32(GetLastError()).
std::string last_error_hresult_text();

}  // namespace qel::win
