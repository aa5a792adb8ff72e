#include "auth/token_refresh.h"

#include <array>

#include <fmt/format.h>

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

asio::awaitable<Result<std::string>> ensure_session_token(std::shared_ptr<SessionTokens> sessions,
                                                          std::uint32_t session, TokenSteps steps) {
    {
        auto map = co_await sessions->read();
        if (auto it = map->find(session); it != map->end())
            co_return it->second;
    }

    // No lock while the token is drawn and written: readers only wait for the insert below.
    // A failed attempt's token is dropped; the next refresh draws a new one.
    Result<std::string> token = new_token();
    if (token) {
        if (Result<void> written = steps.write_token_file(session, *token); !written)
            token = std::move(written).error();
    }
    if (!token)
        co_return std::move(token).error().context(
            fmt::format("write token file for session {}", session));

    auto map = co_await sessions->write();
    (*map)[session] = *token;
    log::info(kLog, "token issued for session {}", session);
    co_return std::move(*token);
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

    for (std::uint32_t id : active) {
        // Session 0 hosts services, never a user's desktop client.
        if (id == 0)
            continue;
        Result<std::string> token = co_await ensure_session_token(sessions, id, steps);
        if (!token)
            log::warn(kLog, "could not write token for session {}: {:#}", id, token.error());
    }
    co_return Result<void>{};
}

}  // namespace qel::auth
