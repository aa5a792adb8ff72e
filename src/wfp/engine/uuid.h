#pragma once
// The keys of the agent's filtering objects as RFC 9562 UUID bytes (big-endian field order),
// so that their making and their text form need no Windows header.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qel::wfp {

using UuidBytes = std::array<std::uint8_t, 16>;

// A version-4 UUID from 16 random bytes: the version nibble and the variant bits are set.
UuidBytes uuid_v4_from_random(UuidBytes random);

// Upper-case 8-4-4-4-12 hexadecimal, no braces.
std::string uuid_text(const UuidBytes& uuid);

// The inverse of uuid_text; either letter case is accepted.
std::optional<UuidBytes> parse_uuid_text(std::string_view text);

}  // namespace qel::wfp
