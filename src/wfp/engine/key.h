#pragma once
// Keys of the agent's filtering objects: fresh random GUIDs, and their text form.

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "wfp/engine/uuid.h"

namespace qel::wfp {

// A fresh random version-4 key; nothing is cached between calls.
GUID new_wfp_key();

// The keys of every object one engine is going to make, drawn before any of them exists, so
// that they can be recorded first: an agent killed at any step then leaves nothing behind that
// no record names.
struct KeyPlan {
    GUID sublayer;
    std::vector<GUID> filters;  // handed out in order, one per filter add

    static KeyPlan fresh(std::size_t filters);
};

// The GUID whose fields are the UUID's bytes read big-endian, and back.
GUID guid_from_uuid(const UuidBytes& uuid);
UuidBytes uuid_of(const GUID& guid);

// Upper-case 8-4-4-4-12, no braces: the form of every key in the agent's log lines.
std::string guid_text(const GUID& guid);

}  // namespace qel::wfp
