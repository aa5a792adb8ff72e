#include "auth/token_refresh.h"

#include <array>

#include <fmt/format.h>

#include "auth/token_attempt.h"
#include "common/hex.h"
#include "common/log.h"
#include "common/random.h"

namespace qel::auth {
namespace {

constexpr auto kLog = log::Target::auth;

Result<std::string> new_token() {
    std::array<std::uint8_t, kTokenBytes> bytes{};
    if (Result<void> r = random_bytes(bytes); !r)
        return std::move(r).error();
    return hex_lower(bytes);
}

}  // namespace

asio::awaitable<Result<std::string>> ensure_session_token(
    std::shared_ptr<SessionTokens> sessions, std::uint32_t session, TokenSteps steps,
    std::chrono::steady_clock::time_point until) {
    {
        // Both under the read lock: an attempt's report stores the token and ends the attempt
        // under the write lock, so a session is either served or being written, never neither.
        auto map = co_await sessions->read();
        if (auto it = map->find(session); it != map->end())
            co_return it->second;
        if (!sessions->begin_attempt(session))
            co_return token_write_error(
                Error("an earlier attempt is still writing it; its outcome is logged when it ends"),
                session);
    }

    // No lock while the token is drawn and written: readers only wait for the insert. A failed
    // attempt's token is dropped; the next refresh draws a new one.
    Result<std::string> token = new_token();
    if (!token) {
        Error failed = token_write_error(std::move(token).error(), session);
        warn_token_not_written(session, failed);
        sessions->end_attempt(session);
        co_return failed;
    }
    co_return co_await run_token_attempt(sessions, session, std::move(*token),
                                         std::move(steps.write_token_file), steps.attempt_bound,
                                         until);
}

asio::awaitable<Result<void>> refresh_active_sessions(std::shared_ptr<SessionTokens> sessions,
                                                      TokenSteps steps) {
    Result<std::vector<SessionRecord>> records = steps.enumerate_sessions();
    if (!records)
        co_return std::move(records).error();

    std::vector<std::uint32_t> active;
    for (const SessionRecord& r : *records) {
        if (r.state == kSessionActive)
            active.push_back(r.id);
    }
    log::debug(kLog, "refresh_active_sessions: {} active session(s)", active.size());

    // One bound for all: however many sessions' users make their writes wait, the refresh (and
    // with the first one the pipe's start) is held up at most this long.
    const auto until = std::chrono::steady_clock::now() + steps.attempt_bound;
    for (std::uint32_t id : active) {
        // Session 0 hosts services, never a user's desktop client.
        if (id == 0)
            continue;
        // Its outcome is the attempt's to log.
        (void)co_await ensure_session_token(sessions, id, steps, until);
    }
    co_return Result<void>{};
}

}  // namespace qel::auth
