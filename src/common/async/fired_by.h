#pragma once
// A wait for a trigger that gives up at a deadline.

#include <chrono>
#include <memory>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>

#include "common/async/trigger.h"

namespace qel::async {

// Waits until `t` fires or `deadline` passes; whether it has fired. A wait given up leaves the
// trigger free for a later one.
inline asio::awaitable<bool> fired_by(std::shared_ptr<Trigger> t,
                                      std::chrono::steady_clock::time_point deadline) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
    co_await (t->wait() || timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable)));
    co_return t->fired();
}

}  // namespace qel::async
