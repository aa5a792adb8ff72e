#pragma once
// Bytes from the operating system's cryptographically secure generator.

#include <cstdint>
#include <span>

#include "common/error.h"

namespace qel {

// Fills every byte of `out`, or fails without a partial result being of any use.
Result<void> random_bytes(std::span<std::uint8_t> out);

}  // namespace qel
