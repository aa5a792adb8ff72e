#pragma once
// SHA-256 from the platform's crypto library (CNG on Windows, OpenSSL in the native build).

#include <array>
#include <cstdint>
#include <string_view>

namespace qel {

std::array<std::uint8_t, 32> sha256(std::string_view bytes);

}  // namespace qel
