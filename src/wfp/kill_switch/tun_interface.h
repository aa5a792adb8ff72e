#pragma once
// The tunnel-interface permits: traffic through the tunnel's own interface stays allowed.

#include <cstdint>
#include <string>

#include "common/error.h"
#include "wfp/kill_switch/kill_switch.h"

namespace qel::wfp {

// The NET_LUID value of the interface with this alias.
Result<std::uint64_t> resolve_tun_alias(const std::string& alias);

// The error that stands for a failed lookup in the fallback warning.
Error map_tun_alias_error(const std::string& alias, const Error& error);

// Adds the IPv4 and IPv6 permits for the interface. Never fails the install: a failure is a
// warning, and a v4 permit already added stays installed (and counted) without its v6 twin.
void permit_tun_interface(KillSwitch& kill_switch, const std::string& alias);

}  // namespace qel::wfp
