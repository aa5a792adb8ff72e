#pragma once

#include <chrono>
#include <string>
#include <variant>

#include "common/async/rw_lock.h"

namespace qel::methods {

using MonoTime = std::chrono::steady_clock::time_point;

struct Idle {};
struct Connecting {
    MonoTime since;
    std::string profile_hash;  // always empty
};
struct Connected {
    MonoTime since;
    std::string profile_hash;
};
struct Disconnecting {};
struct Failed {
    MonoTime since;
    std::string reason;
};

// What the clients last asked for and what the last start returned; changed only by
// "connect" and "disconnect".
using ConnectionState = std::variant<Idle, Connecting, Connected, Disconnecting, Failed>;
using ConnState = async::RwLock<ConnectionState>;

}  // namespace qel::methods
