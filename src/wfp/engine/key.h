#pragma once
// Keys of the agent's filtering objects: fresh random GUIDs, and their text form.

#include <windows.h>

#include <string>

#include "wfp/engine/uuid.h"

namespace qel::wfp {

// A fresh random version-4 key; nothing is cached between calls.
GUID new_wfp_key();

// The GUID whose fields are the UUID's bytes read big-endian, and back.
GUID guid_from_uuid(const UuidBytes& uuid);
UuidBytes uuid_of(const GUID& guid);

// Upper-case 8-4-4-4-12, no braces: the form of every key in the agent's log lines.
std::string guid_text(const GUID& guid);

}  // namespace qel::wfp
