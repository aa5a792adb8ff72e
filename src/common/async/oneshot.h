#pragma once
// A one-shot channel without a value (the service's `ready` signal).
//
// The receiver learns one of two outcomes: the signal was sent, or the sender was released
// without sending. A send fails when the receiver is already gone.

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "common/async/trigger.h"

namespace qel::async::oneshot {

enum class Outcome { sent, closed };

namespace detail {
struct State {
    std::mutex m;
    bool sent = false;
    bool closed = false;
    bool receiver_alive = true;
    std::shared_ptr<Trigger> trigger = Trigger::create();
};
}  // namespace detail

class Sender {
  public:
    explicit Sender(std::shared_ptr<detail::State> s) : s_(std::move(s)) {}
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&& o) noexcept {
        close();
        s_ = std::move(o.s_);
        return *this;
    }
    ~Sender() { close(); }

    // Uses the sender up; false when the receiver was already released.
    bool send() {
        if (!s_)
            return false;
        auto s = std::move(s_);
        std::lock_guard lock(s->m);
        if (!s->receiver_alive)
            return false;
        s->sent = true;
        s->trigger->fire();
        return true;
    }

  private:
    void close() {
        if (!s_)
            return;
        auto s = std::move(s_);
        std::lock_guard lock(s->m);
        s->closed = true;
        s->trigger->fire();
    }
    std::shared_ptr<detail::State> s_;
};

class Receiver {
  public:
    explicit Receiver(std::shared_ptr<detail::State> s) : s_(std::move(s)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&&) noexcept = default;
    ~Receiver() {
        if (!s_)
            return;
        std::lock_guard lock(s_->m);
        s_->receiver_alive = false;
    }

    // Nothing when the wait was cancelled.
    asio::awaitable<std::optional<Outcome>> recv() {
        auto s = s_;
        const std::error_code ec = co_await s->trigger->wait();
        if (ec)
            co_return std::nullopt;
        co_return try_recv();
    }

    // The outcome, if there is one yet.
    std::optional<Outcome> try_recv() const {
        std::lock_guard lock(s_->m);
        if (s_->sent)
            return Outcome::sent;
        if (s_->closed)
            return Outcome::closed;
        return std::nullopt;
    }

  private:
    std::shared_ptr<detail::State> s_;
};

inline std::pair<Sender, Receiver> channel() {
    auto s = std::make_shared<detail::State>();
    return {Sender(s), Receiver(s)};
}

}  // namespace qel::async::oneshot
