#pragma once
// The ring of sing-box's last output lines, oldest first.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace qel::sandbox {

inline constexpr std::size_t kLogRingCapacity = 200;

// Appends a line, dropping the oldest one when the ring is full.
void push_line(std::deque<std::string>& ring, std::string line);

// The index of the first of the last min(n, size) lines.
std::size_t tail_start(const std::deque<std::string>& ring, std::uint64_t n);

}  // namespace qel::sandbox
