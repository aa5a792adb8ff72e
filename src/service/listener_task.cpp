#include "service/listener_task.h"

#include <exception>
#include <optional>
#include <string>

#include "common/async/exception_text.h"
#include "common/log.h"

namespace qel::service {
namespace {

constexpr auto kLog = log::Target::service;

}  // namespace

asio::awaitable<void> listener_task(asio::awaitable<Result<void>> ipc_loop,
                                    std::shared_ptr<async::Notify> shutdown) {
    std::optional<std::string> failure;
    try {
        Result<void> r = co_await std::move(ipc_loop);
        if (!r)
            failure = r.error().full();
    } catch (...) {
        const std::exception_ptr e = std::current_exception();
        if (async::is_cancellation(e))
            throw;
        failure = async::exception_text(e);
    }
    if (failure) {
        log::error(kLog, "ipc loop failed: {} \u2014 triggering service shutdown", *failure);
        shutdown->notify_waiters();
    }
}

}  // namespace qel::service
