// The agent's JSON writer: whatever the library parses, to_compact and to_pretty write text
// that parses back to the same value, number kinds and the sign of zero included.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/json_text.h"
#include "fuzz_check.h"

namespace {

using qel::fuzz::require;

// As deep as a request or configuration the agent reads may nest.
constexpr std::size_t kMaxDepth = 127;

void check_written(const nlohmann::json& v, std::string_view input) {
    const std::string compact = qel::to_compact(v);
    const std::string pretty = qel::to_pretty(v);
    require(compact.find_first_of("\n\r\t") == std::string::npos, "compact text is one line",
            compact);
    require(!pretty.ends_with('\n'), "pretty text has no final line feed", pretty);
    for (const std::string* text : {&compact, &pretty}) {
        const nlohmann::json back = nlohmann::json::parse(*text, nullptr, false);
        require(!back.is_discarded(), "written text parses", *text);
        require(qel::fuzz::same_json(back, v), "written text parses to the same value",
                [&] { return std::string(input) + "\nwritten: " + *text; });
        require(qel::to_compact(back) == compact, "writing is stable", *text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const nlohmann::json v = nlohmann::json::parse(input, nullptr, /*allow_exceptions=*/false);
    if (!v.is_discarded() && qel::fuzz::json_depth(v) <= kMaxDepth)
        check_written(v, input);

    // Every 8 bytes as a double too: text alone seldom reaches most bit patterns.
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        double d;
        std::memcpy(&d, data + i, sizeof d);
        if (std::isfinite(d))
            check_written(nlohmann::json(d), {});
    }
    return 0;
}
