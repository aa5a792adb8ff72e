#pragma once
// A wake-all notifier with arm-then-await waits (the agent's `shutdown`).
//
// An armed wait completes at the first notify_waiters() given after it was armed, even if
// its holder has not begun to await it yet. notify_waiters() stores nothing: a wait armed
// afterwards waits for the next one.

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "common/async/trigger.h"

namespace qel::async {

class Notify : public std::enable_shared_from_this<Notify> {
  public:
    class Wait {
      public:
        Wait(Wait&& other) noexcept = default;
        Wait& operator=(Wait&& other) noexcept {
            release();
            owner_ = std::move(other.owner_);
            trigger_ = std::move(other.trigger_);
            return *this;
        }
        ~Wait() { release(); }

        // operation_aborted when the awaiting coroutine was cancelled.
        asio::awaitable<std::error_code> wait() { return trigger_->wait(); }
        bool fired() const { return trigger_->fired(); }

      private:
        friend class Notify;
        Wait(std::shared_ptr<Notify> owner, std::shared_ptr<Trigger> trigger)
            : owner_(std::move(owner)), trigger_(std::move(trigger)) {}
        void release() {
            if (owner_)
                owner_->forget(trigger_.get());
            owner_.reset();
        }
        std::shared_ptr<Notify> owner_;
        std::shared_ptr<Trigger> trigger_;
    };

    static std::shared_ptr<Notify> create() { return std::make_shared<Notify>(); }

    Wait arm() {
        auto t = Trigger::create();
        {
            std::lock_guard lock(m_);
            armed_.push_back(t);
        }
        return Wait(shared_from_this(), std::move(t));
    }

    // Wake-all; safe from any thread, inside or outside the runtime.
    void notify_waiters() {
        std::vector<std::shared_ptr<Trigger>> woken;
        {
            std::lock_guard lock(m_);
            woken.swap(armed_);
        }
        for (auto& t : woken)
            t->fire();
    }

  private:
    void forget(const Trigger* t) {
        std::lock_guard lock(m_);
        std::erase_if(armed_, [t](const auto& p) { return p.get() == t; });
    }

    std::mutex m_;
    std::vector<std::shared_ptr<Trigger>> armed_;
};

}  // namespace qel::async
