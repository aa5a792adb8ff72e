#pragma once
// A step that blocks until the test opens it: stands in for a call that waits on another
// process (a rename held up by an oplock). Shared, since the job that waits may outlive the
// test's own view of it.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace qel::test {

class Gate {
  public:
    static std::shared_ptr<Gate> create() { return std::make_shared<Gate>(); }

    // Blocks until the gate is open.
    void pass() {
        std::unique_lock lock(m_);
        ++waiting_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return open_; });
        --waiting_;
    }
    void open() {
        std::lock_guard lock(m_);
        open_ = true;
        cv_.notify_all();
    }
    // Whether a step waits at the gate within the bound.
    bool reached_within(std::chrono::milliseconds bound) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, bound, [&] { return waiting_ > 0; });
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    int waiting_ = 0;
    bool open_ = false;
};

// A value that one thread hands to another once.
template <class T>
class Handover {
  public:
    void put(T v) {
        std::lock_guard lock(m_);
        value_ = std::move(v);
        has_ = true;
        cv_.notify_all();
    }
    // Whether a value came within the bound.
    bool arrived_within(std::chrono::milliseconds bound) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, bound, [&] { return has_; });
    }
    bool arrived() {
        std::lock_guard lock(m_);
        return has_;
    }
    T value() {
        std::lock_guard lock(m_);
        return value_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    T value_{};
    bool has_ = false;
};

}  // namespace qel::test
