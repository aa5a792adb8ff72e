#include "auth/admission.h"

#include <fmt/format.h>

#include "common/log.h"

namespace qel::auth {
namespace {

// Runs over the whole length whatever the contents, so the time taken does not tell how
// long a prefix of a guess was right.
bool equal_in_constant_time(const std::string& a, const std::string& b) {
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
    return diff == 0;
}

}  // namespace

Result<std::uint32_t> admit_console_client(std::uint32_t client_session,
                                           std::uint32_t console_session) {
    if (console_session == kNoConsoleSession)
        return Error("no active console session \u2014 refusing connection");
    if (client_session != console_session) {
        log::warn(log::Target::auth, "rejecting pipe client: session={} active_console={}",
                  client_session, console_session);
        return Error(fmt::format("client session {} != active console session {}", client_session,
                                 console_session));
    }
    return client_session;
}

asio::awaitable<bool> verify_token(std::shared_ptr<SessionTokens> sessions, std::uint32_t session,
                                   std::string presented) {
    bool match = false;
    {
        auto map = co_await sessions->read();
        auto it = map->find(session);
        // The length is no secret: every token has 64 characters.
        if (it != map->end() && it->second.size() == presented.size())
            match = equal_in_constant_time(it->second, presented);
    }
    co_return match;
}

}  // namespace qel::auth
