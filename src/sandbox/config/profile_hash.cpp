#include "sandbox/config/profile_hash.h"

#include <span>

#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "common/json_text.h"
#include "common/sha256.h"

namespace qel::sandbox {

namespace {
constexpr std::size_t kProfileHashBytes = 8;
}

std::string hash_profile(const nlohmann::json& profile) {
    const auto digest = sha256(to_compact(profile));
    return hex_lower(std::span<const std::uint8_t>(digest.data(), kProfileHashBytes));
}

}  // namespace qel::sandbox
