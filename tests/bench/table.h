#pragma once
// The benchmark's summary: one line per figure, with its goal and whether it was met.

#include <string>

#include <nlohmann/json.hpp>

namespace qel::bench {

std::string summary_table(const nlohmann::json& results);

}  // namespace qel::bench
