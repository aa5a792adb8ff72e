#include "ipc/unexpected.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "common/debug_quote.h"
#include "common/json_text.h"

namespace qel::ipc {
namespace {}  // namespace

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
            return "string " + debug_quote(v.get_ref<const std::string&>());
        case T::array:
            return "sequence";
        case T::object:
            return "map";
        default:
            return "value";
    }
}

}  // namespace qel::ipc
