#pragma once
// Reading a method's parameters: only when params is an object with a member of exactly
// that name; any other params value means no parameters at all.

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

namespace qel::methods {

inline constexpr std::uint64_t kDefaultLogTail = 200;

// The member's value, when params is an object that has it.
const nlohmann::json* param(const nlohmann::json& params, const char* name);

// "tail": a non-negative integer literal that fits 64 bits; anything else gives 200.
std::uint64_t log_tail_param(const nlohmann::json& params);

// A string member, or nothing when it is absent or of another type (null included).
std::optional<std::string> string_param(const nlohmann::json& params, const char* name);

}  // namespace qel::methods
