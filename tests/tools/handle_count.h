#pragma once
// The handles a process holds, counted in the system's handle table: Wine answers
// GetProcessHandleCount with 0, but keeps that table.

#include <windows.h>

namespace qel::tools {

// -1 when the table cannot be read.
long handle_count_of(DWORD pid);

}  // namespace qel::tools
