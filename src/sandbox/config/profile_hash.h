#pragma once
// The short hash that names a tunnel profile in replies and in the sandbox's log.

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "common/error.h"
#include "common/sha256.h"

namespace qel::sandbox {

using Digest = Result<Sha256Digest> (*)(std::string_view);

// hex_lower of the first 8 bytes of SHA-256 over the profile's compact text: 16 characters.
// A function of the value alone, so white space and member order of the request do not count.
// Fails only when the crypto library does: "hash profile: <its error>".
Result<std::string> hash_profile(const nlohmann::json& profile, Digest digest = sha256);

}  // namespace qel::sandbox
