#pragma once
// The agent's own JSON text forms. The library's dump() writes numbers differently, so the
// text of replies, of the profile hash input and of the sing-box configuration comes from here.

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace qel {

// No white space; object members in ascending byte order of their keys.
std::string to_compact(const nlohmann::json& v);

// to_compact's text, appended to out.
void append_compact(std::string& out, const nlohmann::json& v);

// Two spaces of indent per level; no line feed after the last character.
std::string to_pretty(const nlohmann::json& v);

// A JSON string literal: quote, backslash and control characters escaped; every other byte,
// UTF-8 included, unchanged.
void append_json_string(std::string& out, std::string_view s);

}  // namespace qel
