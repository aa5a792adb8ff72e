#pragma once
// Session tokens: every active session except 0 gets one random token for the agent's
// lifetime, written into a file in its user's profile so that the desktop client of that
// session can present it on the pipe.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include <asio/awaitable.hpp>

#include "common/async/rw_lock.h"
#include "common/error.h"

namespace qel::auth {

// Session id -> that session's token (64 lowercase hex characters). Written only by the
// token refresh, read by the refresh and the token check.
using SessionTokens = async::RwLock<std::unordered_map<std::uint32_t, std::string>>;

inline constexpr std::size_t kTokenBytes = 32;
inline constexpr std::chrono::seconds kSessionRefreshPeriod{30};

#if defined(_WIN32)

// Issues a token to every active session that has none. Fails only when the sessions cannot
// be enumerated; a session whose token cannot be issued is logged and skipped. Refreshes
// must not overlap: the caller awaits one before starting the next.
asio::awaitable<Result<void>> refresh_active_sessions(std::shared_ptr<SessionTokens> sessions);

// The session's stored token, or a new one written to its user's token file and stored.
asio::awaitable<Result<std::string>> ensure_session_token(std::shared_ptr<SessionTokens> sessions,
                                                          std::uint32_t session);

// Writes <LocalAppData>\com.qel\agent.tok of the session's user, impersonating that user.
// Blocking, and every step runs on the calling thread: impersonation belongs to the thread.
Result<void> write_token_file(std::uint32_t session, const std::string& token);

#endif

}  // namespace qel::auth
