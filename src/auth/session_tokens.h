#pragma once
// Session tokens: every active session except 0 gets one random token for the agent's
// lifetime, written into a file in its user's profile so that the desktop client of that
// session can present it on the pipe.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <asio/awaitable.hpp>

#include "common/async/rw_lock.h"
#include "common/error.h"

namespace qel::auth {

// Session id -> that session's token (64 lowercase hex characters), behind its lock. Written
// only by the token refresh's attempts, read by the refresh and the token check.
//
// Beside the map: the sessions whose token file an attempt is still writing. A refresh starts
// no second attempt for such a session, so that the file on disk always holds the token that
// is stored.
class SessionTokens : public async::RwLock<std::unordered_map<std::uint32_t, std::string>> {
  public:
    SessionTokens() = default;

    // Registers an attempt for the session; false when one is still running.
    bool begin_attempt(std::uint32_t session);
    // Once the attempt's token is stored (under the write lock) or its failure known.
    void end_attempt(std::uint32_t session);

  private:
    std::mutex m_;
    std::unordered_set<std::uint32_t> writing_;
};

inline constexpr std::size_t kTokenBytes = 32;
inline constexpr std::chrono::seconds kSessionRefreshPeriod{30};
// How long a refresh waits in all for its sessions' attempts, and how long an attempt may run
// before it is reported as not finished (it goes on nevertheless).
inline constexpr std::chrono::seconds kTokenWriteBound{5};

#if defined(_WIN32)

// Issues a token to every active session that has none. Fails only when the sessions cannot
// be enumerated; a session whose token cannot be issued is logged and skipped. Waits at most
// kTokenWriteBound for the attempts it starts. Refreshes must not overlap: the caller awaits
// one before starting the next.
asio::awaitable<Result<void>> refresh_active_sessions(std::shared_ptr<SessionTokens> sessions);

// The session's stored token, or a new one written to its user's token file and stored by an
// attempt that ended within kTokenWriteBound (see the portable overload).
asio::awaitable<Result<std::string>> ensure_session_token(std::shared_ptr<SessionTokens> sessions,
                                                          std::uint32_t session);

// Writes <LocalAppData>\com.qel\agent.tok of the session's user, impersonating that user.
// Blocking, and every step runs on the calling thread: impersonation belongs to the thread. The
// refresh runs it on a thread of the attempt's own, since the user can make its opens wait.
Result<void> write_token_file(std::uint32_t session, const std::string& token);

#endif

}  // namespace qel::auth
