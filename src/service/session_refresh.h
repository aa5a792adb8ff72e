#pragma once

#include <chrono>
#include <memory>

#include <asio/awaitable.hpp>

#include "auth/session_tokens.h"
#include "common/async/notify.h"

namespace qel::service {

// Refreshes the session tokens every period until it sees `shutdown`; the first refresh
// comes one period after the start.
asio::awaitable<void> periodic_session_refresh(
    std::shared_ptr<async::Notify> shutdown, std::shared_ptr<auth::SessionTokens> sessions,
    std::chrono::steady_clock::duration period = auth::kSessionRefreshPeriod);

}  // namespace qel::service
