#pragma once
// The short hash that names a tunnel profile in replies and in the sandbox's log.

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace qel::sandbox {

// hex_lower of the first 8 bytes of SHA-256 over the profile's compact text: 16 characters.
// A function of the value alone, so white space and member order of the request do not count.
std::string hash_profile(const nlohmann::json& profile);

}  // namespace qel::sandbox
