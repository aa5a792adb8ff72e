#pragma once
// The task that runs the pipe listener: when the listener ends with an error, or with an
// exception, the agent stops in order instead of running on without a pipe.

#include <memory>

#include <asio/awaitable.hpp>

#include "common/async/notify.h"
#include "common/error.h"

namespace qel::service {

// Awaits `ipc_loop`; on its failure writes ERROR "ipc loop failed: {:#} — triggering service
// shutdown" (for an exception, its text) and fires `shutdown`. When the task itself was
// cancelled (the agent loop's abort at the end), however `ipc_loop` ended, nothing is logged
// or fired and an exception passes through.
asio::awaitable<void> listener_task(asio::awaitable<Result<void>> ipc_loop,
                                    std::shared_ptr<async::Notify> shutdown);

}  // namespace qel::service
