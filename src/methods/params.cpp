#include "methods/params.h"

namespace qel::methods {

const nlohmann::json* param(const nlohmann::json& params, const char* name) {
    if (!params.is_object())
        return nullptr;
    const auto it = params.find(name);
    return it == params.end() ? nullptr : &*it;
}

std::uint64_t log_tail_param(const nlohmann::json& params) {
    const nlohmann::json* tail = param(params, "tail");
    // Decoded request numbers hold non-negative integers as unsigned; negatives, -0,
    // fractions, exponents and integers beyond 64 bits are something else.
    if (tail && tail->is_number_unsigned())
        return tail->get<std::uint64_t>();
    return kDefaultLogTail;
}

std::optional<std::string> string_param(const nlohmann::json& params, const char* name) {
    const nlohmann::json* v = param(params, name);
    if (v && v->is_string())
        return v->get<std::string>();
    return std::nullopt;
}

}  // namespace qel::methods
