#pragma once
// One attempt to issue a session's token. Its file is written on a thread of the attempt's own,
// never on a worker of the runtime: the session's user owns the folder it is written into and
// can make an open there wait for as long as they like (an oplock on the token file, say).
// Such a wait then holds up nothing but that session's token: not the refresh beyond its
// bound, not the other sessions, not the agent's stop, which never waits for an attempt.
//
// An attempt is never abandoned. Whenever it ends, its token is stored with the INFO line or
// its failure is logged, as if the refresh had waited for it; one that runs longer than its
// bound is also reported as not finished then.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "auth/session_tokens.h"
#include "common/error.h"

namespace qel::auth {

using WriteTokenFile = std::function<Result<void>(std::uint32_t session, const std::string& token)>;

// Starts writing `token` for `session` (registered with begin_attempt by the caller) and waits
// until the attempt is reported, or has run for `bound`, or `until` has passed, whichever comes
// first. The result is the stored token or the attempt's error, both of them logged already,
// or an error saying that the write goes on.
asio::awaitable<Result<std::string>> run_token_attempt(std::shared_ptr<SessionTokens> sessions,
                                                       std::uint32_t session, std::string token,
                                                       WriteTokenFile write,
                                                       std::chrono::milliseconds bound,
                                                       std::chrono::steady_clock::time_point until);

// The context of every error of a session's attempt: "write token file for session {}".
Error token_write_error(Error e, std::uint32_t session);

// WARN "could not write token for session {}: {:#}".
void warn_token_not_written(std::uint32_t session, const Error& e);

}  // namespace qel::auth
