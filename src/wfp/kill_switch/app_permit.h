#pragma once
// The application permits: traffic of the tunnel program itself stays allowed.

#include <string>

#include "common/error.h"
#include "wfp/kill_switch/kill_switch.h"

namespace qel::wfp {

// Adds the IPv4 and IPv6 permits for the program at this path, which must name an existing
// file. Both are attempted; the first refusal is the error.
Result<void> permit_app(KillSwitch& kill_switch, const std::string& path);

}  // namespace qel::wfp
