#pragma once
// The service's start-up handshake: run the agent loop as a task, report SERVICE_RUNNING only
// once the pipe listener sent `ready`, and give the start up after READY_TIMEOUT.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>

#include "common/async/notify.h"
#include "common/async/oneshot.h"
#include "common/error.h"

namespace qel::service {

inline constexpr std::chrono::milliseconds kReadyTimeout{15000};

using AgentLoop = std::function<asio::awaitable<void>(std::optional<async::oneshot::Sender>,
                                                      std::shared_ptr<async::Notify>, bool)>;
using ReportRunning = std::function<Result<void>()>;

asio::awaitable<Result<void>> run_service_main(
    std::shared_ptr<async::Notify> shutdown, async::oneshot::Sender ready_tx,
    async::oneshot::Receiver ready_rx, ReportRunning report_running, AgentLoop agent_loop,
    std::chrono::milliseconds ready_timeout = kReadyTimeout);

// A duration's debug form: "15s", "1.5s", "250ms".
std::string duration_debug(std::chrono::milliseconds d);

}  // namespace qel::service
