#pragma once
// A one-shot completion shared by one waiting coroutine and whoever completes it.
//
// fire() may be called from any thread, before or after the wait begins; the waiter always
// resumes on its own executor, never inside fire(). The other primitives are built on it.
//
// A pending wait is owned by the trigger, and the waiting frame usually owns the trigger.
// So that releasing the runtime still drops such a task, every pending wait is registered
// with its io_context, whose shutdown destroys the waits that never completed.

#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <vector>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/error.hpp>
#include <asio/execution_context.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

namespace qel::async {

class Trigger;

namespace detail {

// The pending waits of one io_context.
struct PendingWaits {
    std::mutex m;
    bool closed = false;
    std::unordered_map<const Trigger*, std::weak_ptr<Trigger>> waits;
};

class WaitRegistry : public asio::execution_context::service {
  public:
    using key_type = WaitRegistry;
    static inline asio::execution_context::id id;

    explicit WaitRegistry(asio::execution_context& ctx)
        : asio::execution_context::service(ctx), pending_(std::make_shared<PendingWaits>()) {}

    const std::shared_ptr<PendingWaits>& pending() const { return pending_; }

  private:
    void shutdown() override;
    std::shared_ptr<PendingWaits> pending_;
};

}  // namespace detail

class Trigger : public std::enable_shared_from_this<Trigger> {
  public:
    static std::shared_ptr<Trigger> create() { return std::make_shared<Trigger>(); }

    // Completes the wait (now, or as soon as it begins). False when it had fired already.
    bool fire() {
        std::function<void(std::error_code)> resume;
        {
            std::lock_guard lock(m_);
            if (fired_)
                return false;
            fired_ = true;
            resume = take_pending_locked();
        }
        if (resume)
            resume({});
        return true;
    }

    bool fired() const {
        std::lock_guard lock(m_);
        return fired_;
    }

    // Waits until fired. A cancellable wait ends with operation_aborted when the awaiting
    // coroutine is cancelled; the trigger can still fire later for a new wait.
    asio::awaitable<std::error_code> wait(bool cancellable = true) {
        // `self` keeps the trigger alive for the whole wait. The initiation below captures
        // only a raw pointer: GCC 12 destroys a lambda written inside a co_await expression
        // twice, so such a lambda must own nothing.
        auto self = shared_from_this();
        auto token = asio::experimental::as_tuple(asio::use_awaitable);
        auto [ec] = co_await asio::async_initiate<decltype(token), void(std::error_code)>(
            [this, cancellable](auto handler) { start_wait(std::move(handler), cancellable); },
            token);
        co_return ec;
    }

  private:
    friend class detail::WaitRegistry;

    template <class Handler>
    void start_wait(Handler handler, bool cancellable) {
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto ex = asio::get_associated_executor(handler);
        auto& registry =
            asio::use_service<detail::WaitRegistry>(asio::query(ex, asio::execution::context));
        auto h = std::make_shared<Handler>(std::move(handler));
        std::function<void(std::error_code)> resume = [ex, h](std::error_code ec) {
            asio::post(ex, [h, ec]() mutable {
                asio::get_associated_cancellation_slot(*h).clear();
                std::move (*h)(ec);
            });
        };
        std::unique_lock lock(m_);
        if (fired_) {
            lock.unlock();
            resume({});
            return;
        }
        {
            std::unique_lock reg_lock(registry.pending()->m);
            if (registry.pending()->closed) {
                // The runtime is going away; its scheduler drops the posted completion.
                lock.unlock();
                resume(asio::error::operation_aborted);
                return;
            }
            registry.pending()->waits.emplace(this, weak_from_this());
        }
        resume_ = std::move(resume);
        registered_ = registry.pending();
        if (cancellable && slot.is_connected()) {
            slot.assign([weak = weak_from_this()](asio::cancellation_type) {
                if (auto self = weak.lock())
                    self->cancel_wait();
            });
        }
    }

    // Takes the pending wait out, with its registration.
    std::function<void(std::error_code)> take_pending_locked() {
        if (auto reg = std::move(registered_)) {
            std::lock_guard reg_lock(reg->m);
            reg->waits.erase(this);
        }
        registered_.reset();
        auto resume = std::move(resume_);
        resume_ = nullptr;
        return resume;
    }

    void cancel_wait() {
        std::function<void(std::error_code)> resume;
        {
            std::lock_guard lock(m_);
            resume = take_pending_locked();
        }
        if (resume)
            resume(asio::error::operation_aborted);
    }

    mutable std::mutex m_;
    bool fired_ = false;
    std::function<void(std::error_code)> resume_;
    std::shared_ptr<detail::PendingWaits> registered_;
};

inline void detail::WaitRegistry::shutdown() {
    std::unordered_map<const Trigger*, std::weak_ptr<Trigger>> waits;
    {
        std::lock_guard lock(pending_->m);
        pending_->closed = true;
        waits.swap(pending_->waits);
    }
    // Destroying a pending wait destroys the frame that waits, and with it the task.
    std::vector<std::function<void(std::error_code)>> dropped;
    for (auto& [ptr, weak] : waits) {
        if (auto t = weak.lock()) {
            std::lock_guard lock(t->m_);
            t->registered_.reset();
            dropped.push_back(std::move(t->resume_));
            t->resume_ = nullptr;
        }
    }
    dropped.clear();
}

}  // namespace qel::async
