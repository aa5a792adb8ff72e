#pragma once
// Scripted exchanges with the agent for the end-to-end tests.

#include <string>
#include <vector>

namespace qel::tools {

// Steps, in order: "auth" (send the session's token), "line:TEXT" (TEXT and a line feed),
// "hex:HEX" (raw bytes), "big:N" (N bytes 'a', no line feed, from a writer thread), "read"
// (one reply line, printed "< LINE", or "<EOF>"), "rest" (every line up to the end, then
// "<EOF>"), "sleep:MS", "close".
int run_session(const std::wstring& pipe, const std::vector<std::string>& steps);

// CLIENTS connections at once, each authenticating and then sending REQUESTS pings one after
// the other, each reply checked against its own id. Prints "good N bad M".
int run_load(const std::wstring& pipe, int clients, int requests);

// Like run_load, with the requests cycling through "ping", "state", "logs" and
// "kill_switch_status"; each reply must carry its own id and "ok":true.
int run_mixed_load(const std::wstring& pipe, int clients, int requests);

// One connection: `cycles` times "connect" (with an empty profile) then "disconnect", each
// reply checked. Prints "cycles N bad M".
int run_cycles(const std::wstring& pipe, int cycles);

}  // namespace qel::tools
