#pragma once
// Where sing-box.exe is: QEL_SINGBOX_EXE, beside the agent, or under Program Files.

#include <string>

#include "common/error.h"

namespace qel::sandbox {

// The first candidate that is a file (not a folder, not a dangling link), or the error
// "sing-box.exe not found; searched: QEL_SINGBOX_EXE, [...]". Nothing is cached here.
Result<std::wstring> find_singbox_exe();

}  // namespace qel::sandbox
