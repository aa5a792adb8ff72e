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

}  // namespace qel::tools
