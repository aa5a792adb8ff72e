#pragma once
// How a decoding error names the value it did not expect: null, boolean `true`, integer `5`,
// floating point `1.5`, string "x", sequence, map.

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace qel::ipc {

// A container is named by its kind alone, so an empty one stands for any.
std::string describe_unexpected(const nlohmann::json& v);

}  // namespace qel::ipc
