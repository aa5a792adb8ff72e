// The default tunnel alias from a configuration's text, against the library's own parser.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "sandbox/config/tun_alias.h"

namespace {

using qel::fuzz::require;

constexpr std::size_t kMaxDepth = 127;

std::optional<std::string> reference_alias(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF"))
        return std::nullopt;
    // The library ends its text at a NUL byte and would pass over what follows; JSON text has
    // no NUL anywhere, so one is junk wherever it stands, after the value too.
    if (bytes.find('\0') != std::string_view::npos)
        return std::nullopt;
    const nlohmann::json doc = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded() || qel::fuzz::json_depth(doc) > kMaxDepth || !doc.is_object())
        return std::nullopt;
    const auto inbounds = doc.find("inbounds");
    if (inbounds == doc.end() || !inbounds->is_array())
        return std::nullopt;
    for (const nlohmann::json& in : *inbounds) {
        if (!in.is_object())
            continue;
        const auto type = in.find("type");
        const auto name = in.find("interface_name");
        if (type != in.end() && type->is_string() && *type == "tun" && name != in.end() &&
            name->is_string())
            return name->get<std::string>();
    }
    return std::nullopt;
}

void check(std::string_view bytes) {
    const auto alias = qel::sandbox::tun_alias_from_config_text(bytes);
    require(alias == reference_alias(bytes), "the alias matches the library's parse",
            bytes.substr(0, 4096));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check(bytes);
    // A JSON value as a member nested near the nesting limit, and beyond it, beside a tun
    // inbound that is found only when the whole document is within the limit. (Text that is
    // no JSON stays none inside the brackets, and costs the run its speed.)
    if (!nlohmann::json::accept(bytes))
        return 0;
    // What may follow the value: JSON white space, but not a NUL byte with or without junk.
    for (std::string_view after :
         {std::string_view(" \t\r\n"), std::string_view("\0", 1), std::string_view("\0}", 2)}) {
        check(std::string(bytes) + std::string(after));
    }
    for (std::size_t levels : {124, 125, 126, 300}) {
        check(R"({"inbounds":[{"type":"tun","interface_name":"a"}],"x":)" +
              std::string(levels, '[') + std::string(bytes) + std::string(levels, ']') + "}");
    }
    return 0;
}
