#include "service/listener_task.h"

#include <exception>
#include <optional>
#include <string>

#include <asio/this_coro.hpp>

#include "common/async/exception_text.h"
#include "common/log.h"

namespace qel::service {
namespace {

constexpr auto kLog = log::Target::service;

}  // namespace

asio::awaitable<void> listener_task(asio::awaitable<Result<void>> ipc_loop,
                                    std::shared_ptr<async::Notify> shutdown) {
    std::optional<std::string> failure;
    std::exception_ptr thrown;
    try {
        Result<void> r = co_await std::move(ipc_loop);
        if (!r)
            failure = r.error().full();
    } catch (...) {
        thrown = std::current_exception();
        failure = async::exception_text(thrown);
    }
    // Only the agent loop's abort is no failure. An aborted wait inside the listener that
    // nobody asked for ends it like any other error: the agent must not run on without a pipe.
    const asio::cancellation_state cancellation = co_await asio::this_coro::cancellation_state;
    if (cancellation.cancelled() != asio::cancellation_type::none) {
        if (thrown)
            std::rethrow_exception(thrown);
        co_return;
    }
    if (failure) {
        log::error(kLog, "ipc loop failed: {} \u2014 triggering service shutdown", *failure);
        shutdown->notify_waiters();
    }
}

}  // namespace qel::service
