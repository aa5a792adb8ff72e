#include "ipc/listener.h"

#include <algorithm>
#include <chrono>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>

#include "common/async/task.h"
#include "common/log.h"
#include "common/utf.h"
#include "common/win_error.h"
#include "ipc/client.h"

namespace qel::ipc {
namespace {

constexpr auto kLog = log::Target::ipc;

asio::awaitable<void> client_task(PipeInstance pipe, std::shared_ptr<auth::SessionTokens> sessions,
                                  Dispatch dispatch) {
    Result<void> r =
        co_await handle_client(std::move(pipe), std::move(sessions), std::move(dispatch));
    if (!r)
        log::debug(kLog, "ipc: client session ended: {:#}", r.error());
}

asio::awaitable<bool> cancelled() {
    auto state = co_await asio::this_coro::cancellation_state;
    co_return state.cancelled() != asio::cancellation_type::none;
}

}  // namespace

asio::awaitable<Result<void>> ipc_loop(std::optional<async::oneshot::Sender> ready,
                                       std::shared_ptr<auth::SessionTokens> sessions,
                                       Dispatch dispatch, std::shared_ptr<async::Notify> shutdown) {
    using namespace asio::experimental::awaitable_operators;
    const std::string pipe_name = to_utf8_lossy(kPipeName);
    log::info(kLog, "ipc: listening on {}", pipe_name);

    asio::io_context& io = *co_await async::current_io();
    Result<PipeInstance> first = create_pipe_instance(io, /*first=*/true);
    if (!first) {
        ready.reset();  // the receiver learns that the sender is gone
        co_return std::move(first).error().context("cannot create initial pipe " + pipe_name);
    }
    PipeInstance listening = std::move(first).value();
    if (ready) {
        ready->send();  // a receiver that gave up already is no concern of the listener
        ready.reset();
    }

    asio::steady_timer pause(co_await asio::this_coro::executor);
    int failures_in_a_row = 0;
    for (;;) {
        // A wait that keeps failing on the same instance would spin: from the second failure
        // in a row, pause (100 ms, doubling up to 1 s) before offering it again.
        if (failures_in_a_row > 1) {
            auto stop = shutdown->arm();
            const int shift = std::min(failures_in_a_row - 2, 3);
            pause.expires_after(
                std::min(std::chrono::milliseconds(100 << shift), std::chrono::milliseconds(1000)));
            co_await (stop.wait() ||
                      pause.async_wait(asio::experimental::as_tuple(asio::use_awaitable)));
            if (stop.fired()) {
                log::info(kLog, "ipc: shutdown received, stopping listener");
                co_return Result<void>{};
            }
        }

        auto stop = shutdown->arm();
        auto woke = co_await (stop.wait() || wait_for_client(listening));
        // The shutdown is looked at first: when both completed, the client is not handed over.
        if (stop.fired()) {
            log::info(kLog, "ipc: shutdown received, stopping listener");
            co_return Result<void>{};
        }
        if (co_await cancelled() || woke.index() == 0)
            co_return Result<void>{};

        if (const std::error_code ec = std::get<1>(woke)) {
            log::error(kLog, "ipc: connect() failed: {}",
                       win::os_error_text(static_cast<std::uint32_t>(ec.value())));
            ++failures_in_a_row;
            continue;
        }
        failures_in_a_row = 0;

        PipeInstance connected = std::move(listening);
        Result<PipeInstance> next = create_pipe_instance(io, /*first=*/false);
        if (!next) {
            // `connected` is released here: its client sees the pipe closed, no byte written.
            co_return std::move(next).error().context("recreate pipe instance");
        }
        listening = std::move(next).value();
        async::spawn_detached(io, kLog, client_task(std::move(connected), sessions, dispatch));
    }
}

}  // namespace qel::ipc
