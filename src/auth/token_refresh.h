#pragma once
// The token refresh over its two platform steps, so that the same algorithm runs against
// the Windows calls in the agent and against stand-ins in the portable tests.

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
    // Must complete without suspending: the Windows step impersonates the session's user.
    std::function<Result<void>(std::uint32_t session, const std::string& token)> write_token_file;
};

asio::awaitable<Result<void>> refresh_active_sessions(std::shared_ptr<SessionTokens> sessions,
                                                      TokenSteps steps);

asio::awaitable<Result<std::string>> ensure_session_token(std::shared_ptr<SessionTokens> sessions,
                                                          std::uint32_t session, TokenSteps steps);

}  // namespace qel::auth
