#pragma once
// A bound as error texts print it: "5 s" for whole seconds, "300 ms" otherwise.

#include <chrono>
#include <string>

namespace qel {

std::string duration_text(std::chrono::milliseconds d);

}  // namespace qel
