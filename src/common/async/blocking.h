#pragma once
// The runtime's pool for blocking work (file operations): a service of the io_context, so
// that any coroutine can reach it through its own executor.

#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <asio/execution_context.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>

#include "common/async/exception_text.h"
#include "common/async/trigger.h"
#include "common/error.h"
#include "common/log.h"

namespace qel::async {

class BlockingPool : public asio::execution_context::service {
  public:
    using key_type = BlockingPool;
    static inline asio::execution_context::id id;

    // Blocking work here is short (file writes), so a small pool is enough.
    static constexpr std::size_t kThreads = 8;

    explicit BlockingPool(asio::execution_context& ctx)
        : asio::execution_context::service(ctx), pool_(0) {}

    // Runs f on a pool thread. A thread is started only when every started one has work: under
    // Wine each costs 1 to 2 ms, and most runs need one or two.
    template <class F>
    void post(F f) {
        if (!reserve_thread()) {
            f();  // not one thread could be started: better late on the caller than never
            return;
        }
        asio::post(pool_.get_executor(), [this, f = std::move(f)]() mutable {
            f();
            std::lock_guard lock(m_);
            --pending_;
        });
    }

  private:
    // Counts the work in and starts a thread for it when all are busy; false when there is
    // no thread to run it.
    bool reserve_thread() {
        std::lock_guard lock(m_);
        ++pending_;
        if (pending_ > threads_.size() && threads_.size() < kThreads && !stopped_) {
            try {
                threads_.emplace_back([this] { pool_.attach(); });
            } catch (const std::system_error&) {
                // Fewer threads; the queued work waits for one of them.
            }
        }
        if (threads_.empty()) {
            --pending_;
            return false;
        }
        return true;
    }

    void shutdown() override {
        {
            std::lock_guard lock(m_);
            stopped_ = true;
        }
        pool_.stop();
        for (auto& t : threads_)
            t.join();
        pool_.join();
    }

    asio::thread_pool pool_;  // run by the attached threads_ only
    std::mutex m_;
    std::vector<std::thread> threads_;
    std::size_t pending_ = 0;  // posted and not yet finished
    bool stopped_ = false;
};

namespace detail {
template <class T>
struct is_result : std::false_type {};
template <class T>
struct is_result<Result<T>> : std::true_type {};

// An exception must not leave a pool thread, where it would end the process: it is logged
// and becomes the call's error, as a task that delivered no result.
template <class F>
std::invoke_result_t<F&> run_caught(F& f, log::Target target) noexcept {
    try {
        return f();
    } catch (...) {
        try {
            log::error(target, "blocking task failed: {}",
                       exception_text(std::current_exception()));
        } catch (...) {
            // The error value below still tells the caller.
        }
        return Error("background task failed");
    }
}
}  // namespace detail

// Runs f on the blocking pool and resumes the caller on its own executor with f's result, a
// Result<T>. An exception thrown by f is logged at ERROR under `target` and becomes the error
// "background task failed". Callers name a capturing lambda before awaiting this: GCC 12
// destroys a lambda that is written inside a co_await expression twice.
template <class F>
asio::awaitable<std::invoke_result_t<F&>> run_blocking(log::Target target, F f) {
    using R = std::invoke_result_t<F&>;
    static_assert(detail::is_result<R>::value, "blocking work returns a Result<T>");
    auto ex = co_await asio::this_coro::executor;
    auto& pool = asio::use_service<BlockingPool>(asio::query(ex, asio::execution::context));
    // f stays in this frame until the work has run; the initiation holds only pointers (see
    // Trigger::wait for why initiation captures must own nothing).
    F* work = &f;
    co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(R)>(
        [&pool, work, target](auto handler) {
            auto back = asio::get_associated_executor(handler);
            pool.post([work, target, h = std::move(handler), back]() mutable {
                R r = detail::run_caught(*work, target);
                asio::post(back, [h = std::move(h), r = std::move(r)]() mutable {
                    std::move(h)(std::move(r));
                });
            });
        },
        asio::use_awaitable);
}

}  // namespace qel::async
