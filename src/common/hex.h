#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qel {

// Bytes as lowercase hexadecimal, high nibble first, no separators.
std::string hex_lower(std::span<const std::uint8_t> bytes);

}  // namespace qel
