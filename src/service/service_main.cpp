#include "service/service_main.h"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>

#include <fmt/format.h>

#include "common/async/task.h"
#include "common/log.h"

namespace qel::service {
namespace {
constexpr auto kLog = log::Target::service;
}

std::string duration_debug(std::chrono::milliseconds d) {
    const auto ms = d.count();
    if (ms % 1000 == 0)
        return fmt::format("{}s", ms / 1000);
    if (ms < 1000)
        return fmt::format("{}ms", ms);
    std::string frac = fmt::format("{:03}", ms % 1000);
    while (frac.back() == '0')
        frac.pop_back();
    return fmt::format("{}.{}s", ms / 1000, frac);
}

asio::awaitable<Result<void>> run_service_main(std::shared_ptr<async::Notify> shutdown,
                                               async::oneshot::Sender ready_tx,
                                               async::oneshot::Receiver ready_rx,
                                               ReportRunning report_running, AgentLoop agent_loop,
                                               std::chrono::milliseconds ready_timeout) {
    using namespace asio::experimental::awaitable_operators;
    asio::io_context& io = *co_await async::current_io();
    async::JoinHandle agent =
        async::spawn(io, agent_loop(std::move(ready_tx), shutdown, /*foreground=*/false));

    std::optional<async::oneshot::Receiver> rx(std::move(ready_rx));
    asio::steady_timer deadline(co_await asio::this_coro::executor, ready_timeout);
    co_await (rx->recv() || deadline.async_wait(asio::experimental::as_tuple(asio::use_awaitable)));
    // The receiver is looked at before the deadline: a signal that is there counts.
    const std::optional<async::oneshot::Outcome> outcome = rx->try_recv();
    rx.reset();  // a signal sent from now on is lost

    if (outcome == async::oneshot::Outcome::sent) {
        log::info(kLog, "ipc pipe ready, flipping SCM to RUNNING");
        Result<void> reported = report_running();
        // Without the running report the service main returns at once; the agent loop is
        // cancelled with the runtime, without its cleanup.
        if (!reported)
            co_return reported;
    } else if (outcome == async::oneshot::Outcome::closed) {
        log::error(kLog, "ipc loop exited before pipe was ready");
        shutdown->notify_waiters();
    } else {
        log::error(kLog, "ipc pipe did not become ready within {}; aborting service start",
                   duration_debug(ready_timeout));
        shutdown->notify_waiters();
    }

    const async::JoinOutcome joined = co_await agent.join();
    if (joined != async::JoinOutcome::finished) {
        co_return Error(fmt::format("agent_loop join error: {}", async::describe(joined)));
    }
    co_return Result<void>{};
}

}  // namespace qel::service
