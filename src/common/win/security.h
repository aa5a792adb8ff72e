#pragma once
// Who may change the agent's files and folders: the descriptors the agent gives them, and the
// test of whether an object is the agent's own.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/win/owned.h"

namespace qel::win {

// The agent's data folders: owner Administrators; a protected DACL (nothing inherited from
// above) that gives SYSTEM and Administrators full control and Authenticated Users read and
// execute, inherited by everything created in them. No other account can create, change or
// delete anything there.
inline constexpr std::wstring_view kAgentFolderSddl =
    L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;AU)";
// Files that only the agent reads (the kill switch's record and its lock): no other account
// can open them, so none can hold them open either.
inline constexpr std::wstring_view kPrivateFileSddl = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

using SecurityDescriptor = LocalMemory<void>;

// The self-relative descriptor of an SDDL text.
Result<SecurityDescriptor> parse_sddl(std::wstring_view sddl);

// Nothing when only the agent's side can change the object behind the handle: its owner is
// SYSTEM, Administrators or this process's user, and its DACL grants no other account a right
// to write, delete, or change its owner or DACL. Otherwise why not, for a log line ("S-1-1-0
// may change it"). The handle needs READ_CONTROL.
std::optional<std::string> why_not_own(HANDLE object);

// Gives the object the descriptor's owner and protected DACL, on this object only: nothing is
// propagated to what lies below it. The handle needs WRITE_DAC and WRITE_OWNER.
Result<void> give_descriptor(HANDLE object, PSECURITY_DESCRIPTOR descriptor);

}  // namespace qel::win
