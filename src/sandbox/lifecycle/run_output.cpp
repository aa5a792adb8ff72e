#include "sandbox/lifecycle/run_output.h"

namespace qel::sandbox {

void PendingLines::push(std::string line) {
    {
        std::lock_guard lock(m_);
        if (lines_.size() >= kMax)
            lines_.pop_front();
        lines_.push_back(std::move(line));
    }
    changed_->notify_waiters();
}

void PendingLines::close() {
    {
        std::lock_guard lock(m_);
        closed_ = true;
    }
    changed_->notify_waiters();
}

std::deque<std::string> PendingLines::take(bool& closed) {
    std::lock_guard lock(m_);
    std::deque<std::string> out;
    out.swap(lines_);
    closed = closed_;
    return out;
}

void RunOutput::add(std::string line) {
    std::lock_guard lock(m_);
    if (last_.size() >= kLastLines)
        last_.pop_front();
    last_.push_back(std::move(line));
}

void RunOutput::stream_ended() {
    bool all = false;
    {
        std::lock_guard lock(m_);
        all = --open_ == 0;
    }
    if (all)
        ended_->notify_waiters();
}

bool RunOutput::all_ended() const {
    std::lock_guard lock(m_);
    return open_ <= 0;
}

std::vector<std::string> RunOutput::last_lines() const {
    std::lock_guard lock(m_);
    return {last_.begin(), last_.end()};
}

}  // namespace qel::sandbox
