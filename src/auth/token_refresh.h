#pragma once
// The token refresh over its two platform steps, so that the same algorithm runs against
// the Windows calls in the agent and against stand-ins in the portable tests.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "auth/session_tokens.h"
#include "common/error.h"

namespace qel::auth {

// One record of the session enumeration; state 0 is WTSActive.
struct SessionRecord {
    std::uint32_t id = 0;
    std::uint32_t state = 0;
};
inline constexpr std::uint32_t kSessionActive = 0;

struct TokenSteps {
    // Every session, in the platform's order. Its error is returned by the refresh as it is.
    std::function<Result<std::vector<SessionRecord>>()> enumerate_sessions;
    // Blocking; runs whole on a thread of the attempt's own (the Windows step impersonates the
    // session's user, which belongs to the thread).
    std::function<Result<void>(std::uint32_t session, const std::string& token)> write_token_file;
    // How long a refresh waits in all for its attempts, and how long an attempt runs before it
    // is reported as not finished.
    std::chrono::milliseconds attempt_bound = kTokenWriteBound;
};

// Sessions are taken in enumeration order: the next attempt starts when the one before has
// been reported, or at once when the refresh's bound is spent. Every attempt reports its own
// outcome, whenever it ends; the refresh returns without waiting for the ones still running.
asio::awaitable<Result<void>> refresh_active_sessions(std::shared_ptr<SessionTokens> sessions,
                                                      TokenSteps steps);

// The stored token; else, unless an attempt for the session still runs (an error, not logged:
// that attempt reports), a new token drawn and written by an attempt that is awaited until it
// is reported, has run for the bound, or `until`. Errors carry "write token file for session {}".
asio::awaitable<Result<std::string>> ensure_session_token(
    std::shared_ptr<SessionTokens> sessions, std::uint32_t session, TokenSteps steps,
    std::chrono::steady_clock::time_point until);

}  // namespace qel::auth
