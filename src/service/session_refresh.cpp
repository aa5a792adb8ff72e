#include "service/session_refresh.h"

#include <random>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/this_coro.hpp>

#include "auth/session_tokens.h"
#include "common/async/interval.h"
#include "common/log.h"

namespace qel::service {
namespace {

constexpr auto kLog = log::Target::service;

// A fair coin for choosing between a tick and the shutdown when both are ready.
bool coin() {
    thread_local std::minstd_rand gen{std::random_device{}()};
    return std::bernoulli_distribution(0.5)(gen);
}

}  // namespace

asio::awaitable<void> periodic_session_refresh(std::shared_ptr<async::Notify> shutdown,
                                               std::shared_ptr<auth::SessionTokens> sessions,
                                               std::chrono::steady_clock::duration period) {
    using namespace asio::experimental::awaitable_operators;
    async::Interval interval(co_await asio::this_coro::executor, period);
    co_await interval.tick();  // due at once: the first refresh follows one period later

    for (;;) {
        auto stop = shutdown->arm();
        auto first = co_await (stop.wait() || interval.tick());
        // When both are ready, neither is preferred: pick one at random.
        bool take_shutdown = first.index() == 0;
        if (take_shutdown && interval.due()) {
            take_shutdown = coin();
            if (!take_shutdown)
                interval.consume();
        } else if (!take_shutdown && stop.fired()) {
            take_shutdown = coin();
        }
        if (take_shutdown)
            co_return;

        Result<void> r = co_await auth::refresh_active_sessions(sessions);
        if (!r)
            log::warn(kLog, "periodic session refresh failed: {:#}", r.error());
    }
}

}  // namespace qel::service
