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

// data_root, runtime\ and logs\: owner Administrators; a protected DACL (nothing inherited
// from above) that gives SYSTEM and Administrators full control, inherited by everything
// created in them. No other account can open anything there (runtime\ holds the client's
// profile with the tunnel's credentials), so none can hold it open either.
inline constexpr std::wstring_view kPrivateFolderSddl =
    L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// Files that only the agent reads (the kill switch's record and its lock): no other account
// can open them, so none can hold them open either.
inline constexpr std::wstring_view kPrivateFileSddl = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

using SecurityDescriptor = LocalMemory<void>;

// The self-relative descriptor of an SDDL text.
Result<SecurityDescriptor> parse_sddl(std::wstring_view sddl);

// The owner and DACL of the object behind the handle, which needs READ_CONTROL.
Result<SecurityDescriptor> read_descriptor(HANDLE object);

// Nothing when only the agent's side can change an object with this descriptor, or what is
// made in it: its owner is SYSTEM, Administrators or this process's user, and no entry of its
// DACL, inherit-only ones included, gives another account a right to write, add, delete, or
// change attributes, the owner or the DACL. Otherwise why not, for a log line ("S-1-1-0 may
// change it"). A descriptor without a DACL lets anyone do anything, and an entry of a kind that
// is not judged here (an object entry, say) may let anyone in.
std::optional<std::string> why_not_own(PSECURITY_DESCRIPTOR descriptor);

// Whether the DACL gives an account outside the agent's side any right at all, reading
// included, or holds an entry of a kind that is not judged here.
bool others_have_access(PSECURITY_DESCRIPTOR descriptor);

// Gives the object the descriptor's owner and protected DACL, on this object only: nothing is
// propagated to what lies below it. The handle needs WRITE_DAC and WRITE_OWNER.
Result<void> give_descriptor(HANDLE object, PSECURITY_DESCRIPTOR descriptor);

}  // namespace qel::win
