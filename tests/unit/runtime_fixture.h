#pragma once
// A multi-threaded runtime per test, and a helper to run a coroutine to its end on it.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>

#include "common/async/runtime.h"

namespace qel::test {

class RuntimeTest : public ::testing::Test {
  protected:
    RuntimeTest() : rt_(std::move(async::Runtime::build(4).value())) {}

    template <class T>
    T run(asio::awaitable<T> task) {
        return rt_->block_on(std::move(task));
    }
    asio::io_context& io() { return rt_->io(); }

    std::unique_ptr<async::Runtime> rt_;
};

inline asio::awaitable<void> sleep_for(std::chrono::milliseconds d) {
    asio::steady_timer t(co_await asio::this_coro::executor, d);
    co_await t.async_wait(asio::use_awaitable);
}

// Resumes once the steady clock has reached `at`.
inline asio::awaitable<void> sleep_until(std::chrono::steady_clock::time_point at) {
    asio::steady_timer t(co_await asio::this_coro::executor, at);
    co_await t.async_wait(asio::use_awaitable);
}

// True when w.wait() (a trigger's, a notifier wait's) completes within the bound: a wait that
// would hang fails instead. w must outlive the call.
template <class Waitable>
asio::awaitable<bool> completes_within(Waitable& w, std::chrono::milliseconds bound) {
    using namespace asio::experimental::awaitable_operators;
    auto first = co_await (w.wait() || sleep_for(bound));
    co_return first.index() == 0;
}

}  // namespace qel::test
