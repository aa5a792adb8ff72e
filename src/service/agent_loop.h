#pragma once
// The agent's main procedure in both run modes.

#include <memory>
#include <optional>

#include <asio/awaitable.hpp>

#include "common/async/notify.h"
#include "common/async/oneshot.h"

namespace qel::service {

// Creates the shared handles, starts the background tasks, waits for `shutdown`, then
// releases the kill switch, stops sing-box and ends the pipe listener, in that order.
asio::awaitable<void> agent_loop(std::optional<async::oneshot::Sender> ready,
                                 std::shared_ptr<async::Notify> shutdown, bool foreground);

// Console mode: fires `shutdown` at the first Ctrl+C, then leaves Ctrl+C to the console.
asio::awaitable<void> watch_ctrl_c(std::shared_ptr<async::Notify> shutdown);

}  // namespace qel::service
