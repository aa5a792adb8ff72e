#pragma once
// An asynchronous read-write lock around a value, fair in arrival order: a reader that
// arrives after a queued writer waits behind it, so writers are never starved.

#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "common/async/trigger.h"

namespace qel::async {

template <class T>
class RwLock {
  public:
    class ReadGuard {
      public:
        ReadGuard(ReadGuard&& o) noexcept : l_(std::exchange(o.l_, nullptr)) {}
        ReadGuard& operator=(ReadGuard&&) = delete;
        ~ReadGuard() {
            if (l_)
                l_->release_read();
        }
        const T& operator*() const { return l_->value_; }
        const T* operator->() const { return &l_->value_; }

      private:
        friend class RwLock;
        explicit ReadGuard(RwLock* l) : l_(l) {}
        RwLock* l_;
    };

    class WriteGuard {
      public:
        WriteGuard(WriteGuard&& o) noexcept : l_(std::exchange(o.l_, nullptr)) {}
        WriteGuard& operator=(WriteGuard&&) = delete;
        ~WriteGuard() {
            if (l_)
                l_->release_write();
        }
        T& operator*() const { return l_->value_; }
        T* operator->() const { return &l_->value_; }

      private:
        friend class RwLock;
        explicit WriteGuard(RwLock* l) : l_(l) {}
        RwLock* l_;
    };

    template <class... Args>
    explicit RwLock(Args&&... args) : value_(std::forward<Args>(args)...) {}
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    asio::awaitable<ReadGuard> read() {
        std::shared_ptr<Trigger> turn;
        {
            std::lock_guard lock(m_);
            if (!writer_ && queue_.empty()) {
                ++readers_;
                co_return ReadGuard(this);
            }
            turn = Trigger::create();
            queue_.push_back({turn, false});
        }
        co_await turn->wait(/*cancellable=*/false);
        co_return ReadGuard(this);
    }

    asio::awaitable<WriteGuard> write() {
        std::shared_ptr<Trigger> turn;
        {
            std::lock_guard lock(m_);
            if (!writer_ && readers_ == 0 && queue_.empty()) {
                writer_ = true;
                co_return WriteGuard(this);
            }
            turn = Trigger::create();
            queue_.push_back({turn, true});
        }
        co_await turn->wait(/*cancellable=*/false);
        co_return WriteGuard(this);
    }

  private:
    struct Waiter {
        std::shared_ptr<Trigger> turn;
        bool write;
    };

    void release_read() {
        std::deque<std::shared_ptr<Trigger>> granted;
        {
            std::lock_guard lock(m_);
            --readers_;
            grant_locked(granted);
        }
        for (auto& t : granted)
            t->fire();
    }

    void release_write() {
        std::deque<std::shared_ptr<Trigger>> granted;
        {
            std::lock_guard lock(m_);
            writer_ = false;
            grant_locked(granted);
        }
        for (auto& t : granted)
            t->fire();
    }

    // Grants the front of the queue: one writer, or every reader up to the next writer.
    void grant_locked(std::deque<std::shared_ptr<Trigger>>& granted) {
        while (!queue_.empty() && !writer_) {
            Waiter& front = queue_.front();
            if (front.write) {
                if (readers_ != 0)
                    break;
                writer_ = true;
            } else {
                ++readers_;
            }
            granted.push_back(std::move(front.turn));
            queue_.pop_front();
        }
    }

    std::mutex m_;
    std::size_t readers_ = 0;
    bool writer_ = false;
    std::deque<Waiter> queue_;
    T value_;
};

}  // namespace qel::async
