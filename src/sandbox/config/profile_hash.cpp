#include "sandbox/config/profile_hash.h"

#include <span>

#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "common/json_text.h"

namespace qel::sandbox {

namespace {
constexpr std::size_t kProfileHashBytes = 8;
}

Result<std::string> hash_profile(const nlohmann::json& profile, Digest digest) {
    Result<Sha256Digest> d = digest(to_compact(profile));
    if (!d)
        return std::move(d).error().context("hash profile");
    return hex_lower(std::span<const std::uint8_t>(d.value().data(), kProfileHashBytes));
}

}  // namespace qel::sandbox
