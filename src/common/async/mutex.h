#pragma once
// An asynchronous mutex around a value that grants the lock first come, first served.
//
// unlock() hands the lock straight to the oldest waiter, so a late arrival never overtakes
// a queued one. Lock waits are not cancellable: a task stays queued until it gets the lock.

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "common/async/trigger.h"

namespace qel::async {

template <class T>
class Mutex {
  public:
    class Guard {
      public:
        Guard(Guard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (m_)
                m_->unlock();
        }
        T& operator*() const { return m_->value_; }
        T* operator->() const { return &m_->value_; }

      private:
        friend class Mutex;
        explicit Guard(Mutex* m) : m_(m) {}
        Mutex* m_;
    };

    template <class... Args>
    explicit Mutex(Args&&... args) : value_(std::forward<Args>(args)...) {}
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    asio::awaitable<Guard> lock() {
        std::shared_ptr<Trigger> turn;
        {
            std::lock_guard lock(m_);
            if (!locked_) {
                locked_ = true;
                co_return Guard(this);
            }
            turn = Trigger::create();
            waiters_.push_back(turn);
        }
        co_await turn->wait(/*cancellable=*/false);
        co_return Guard(this);  // unlock() passed the lock to us
    }

    std::optional<Guard> try_lock() {
        std::lock_guard lock(m_);
        if (locked_)
            return std::nullopt;
        locked_ = true;
        return Guard(this);
    }

  private:
    void unlock() {
        std::shared_ptr<Trigger> next;
        {
            std::lock_guard lock(m_);
            if (waiters_.empty()) {
                locked_ = false;
                return;
            }
            next = std::move(waiters_.front());
            waiters_.pop_front();
        }
        next->fire();
    }

    std::mutex m_;
    bool locked_ = false;
    std::deque<std::shared_ptr<Trigger>> waiters_;
    T value_;
};

}  // namespace qel::async
