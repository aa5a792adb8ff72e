#include "sandbox/lifecycle/log_ring.h"

#include <algorithm>

namespace qel::sandbox {

void push_line(std::deque<std::string>& ring, std::string line) {
    while (ring.size() >= kLogRingCapacity)
        ring.pop_front();
    ring.push_back(std::move(line));
}

std::size_t tail_start(const std::deque<std::string>& ring, std::uint64_t n) {
    return ring.size() - static_cast<std::size_t>(std::min<std::uint64_t>(n, ring.size()));
}

}  // namespace qel::sandbox
