#pragma once
// SHA-256 from the platform's crypto library (CNG on Windows, OpenSSL in the native build).

#include <array>
#include <cstdint>
#include <string_view>

#include "common/error.h"

namespace qel {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Fails only when the crypto library does: the error names its call.
Result<Sha256Digest> sha256(std::string_view bytes);

}  // namespace qel
