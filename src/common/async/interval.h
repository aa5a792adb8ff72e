#pragma once
// An interval timer with the burst policy: ticks fall due at start + k * period; a late
// tick does not move the later ones, and ticks missed meanwhile complete at once, one by one.

#include <chrono>
#include <system_error>

#include <asio/any_io_executor.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace qel::async {

class Interval {
  public:
    using clock = std::chrono::steady_clock;

    // The first tick is due at once.
    Interval(const asio::any_io_executor& ex, clock::duration period)
        : timer_(ex), next_(clock::now()), period_(period) {}

    asio::awaitable<std::error_code> tick() {
        timer_.expires_at(next_);
        auto [ec] = co_await timer_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
        if (!ec)
            next_ += period_;
        co_return ec;
    }

    bool due() const { return clock::now() >= next_; }
    // Takes a due tick without waiting (used when a tick won a race it was not awaited in).
    void consume() { next_ += period_; }

  private:
    asio::steady_timer timer_;
    clock::time_point next_;
    clock::duration period_;
};

}  // namespace qel::async
