#include "service/exit_gate.h"

namespace qel::service {

ExitGate::Pass::Pass(ExitGate& gate) : gate_(gate) {
    std::lock_guard lock(gate_.m_);
    ++gate_.inside_;
}

ExitGate::Pass::~Pass() {
    {
        std::lock_guard lock(gate_.m_);
        --gate_.inside_;
    }
    gate_.left_.notify_all();
}

bool ExitGate::wait_until_left(std::chrono::milliseconds bound) {
    std::unique_lock lock(m_);
    return left_.wait_for(lock, bound, [&] { return inside_ == 0; });
}

}  // namespace qel::service
