#pragma once
// The two checks that guard the pipe: the client must run in the console session, and it
// must present that session's token.

#include <cstdint>
#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "auth/session_tokens.h"
#include "common/error.h"

namespace qel::auth {

// What WTSGetActiveConsoleSessionId returns while no session is attached to the console.
inline constexpr std::uint32_t kNoConsoleSession = 0xFFFFFFFFu;

// The decision on a client's session given the console's: the client's session id when
// they are the same session. Logs a warning only when two known sessions differ.
Result<std::uint32_t> admit_console_client(std::uint32_t client_session,
                                           std::uint32_t console_session);

#if defined(_WIN32)
// For the server end of a newly connected pipe instance: the client's session id when it is
// the active console session. Blocking, no suspension point.
Result<std::uint32_t> check_console_session(void* pipe_handle);
#endif

// True only when `presented` is the token stored for the session, byte for byte. The
// comparison takes the same time wherever the tokens differ. Never fails, logs nothing.
asio::awaitable<bool> verify_token(std::shared_ptr<SessionTokens> sessions, std::uint32_t session,
                                   std::string presented);

}  // namespace qel::auth
