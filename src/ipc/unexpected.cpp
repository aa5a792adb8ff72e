#include "ipc/unexpected.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "common/json_text.h"

namespace qel::ipc {
namespace {

// Between double quotes, with quote, backslash and control characters escaped, so that the
// text stays on one line and its end is unambiguous.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", c);
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace

std::string describe_unexpected(const nlohmann::json& v) {
    using T = nlohmann::json::value_t;
    switch (v.type()) {
        case T::null:
            return "null";
        case T::boolean:
            return fmt::format("boolean `{}`", v.get<bool>());
        case T::number_unsigned:
        case T::number_integer:
            return fmt::format("integer `{}`", to_compact(v));
        case T::number_float:
            return fmt::format("floating point `{}`", to_compact(v));
        case T::string:
            return "string " + quoted(v.get_ref<const std::string&>());
        case T::array:
            return "sequence";
        case T::object:
            return "map";
        default:
            return "value";
    }
}

}  // namespace qel::ipc
