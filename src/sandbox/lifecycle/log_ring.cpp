#include "sandbox/lifecycle/log_ring.h"

#include <algorithm>

namespace qel::sandbox {

void push_line(std::deque<std::string>& ring, std::string line) {
    while (ring.size() >= kLogRingCapacity)
        ring.pop_front();
    ring.push_back(std::move(line));
}

std::vector<std::string> tail_lines(const std::deque<std::string>& ring, std::uint64_t n) {
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, ring.size()));
    return std::vector<std::string>(ring.end() - static_cast<std::ptrdiff_t>(k), ring.end());
}

}  // namespace qel::sandbox
