#pragma once

#include <nlohmann/json.hpp>

#include "methods/connection_state.h"

namespace qel::methods {

// The "state" object of a connection state, without "kill_switch_engaged": its variant's
// name, and the hash, the whole seconds since the connect, or the failure's reason.
nlohmann::json state_snapshot(const ConnectionState& state, MonoTime now);

}  // namespace qel::methods
