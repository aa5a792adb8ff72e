#pragma once

#include <string_view>

namespace qel {

inline constexpr std::string_view kAgentVersion = "0.1.1";
inline constexpr std::string_view kVersionLine = "QEL.Agent 0.1.1";

}  // namespace qel
