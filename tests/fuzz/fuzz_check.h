#pragma once
// What every fuzzer shares: a failed property aborts, so libFuzzer keeps the input as a crash;
// JSON equality that tells number kinds and the sign of zero apart; and the check that what a
// connection writes is UTF-8, line by line.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/utf.h"

namespace qel::fuzz {

[[noreturn]] inline void fail(std::string_view property, std::string_view detail = {}) {
    std::fprintf(stderr, "property failed: %.*s\n%.*s\n", static_cast<int>(property.size()),
                 property.data(), static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline void require(bool holds, std::string_view property) {
    if (!holds)
        fail(property);
}

// detail: text to print with a failure, or a function that builds it only then.
template <class Detail>
void require(bool holds, std::string_view property, const Detail& detail) {
    if (holds)
        return;
    if constexpr (std::is_invocable_v<const Detail&>) {
        fail(property, std::string(detail()));
    } else {
        fail(property, detail);
    }
}

// written: reply lines, each ended by its line feed (the last one may lack it).
inline void require_utf8_lines(std::string_view written) {
    while (!written.empty()) {
        const std::size_t lf = written.find('\n');
        const std::string_view line =
            written.substr(0, lf == std::string_view::npos ? written.size() : lf + 1);
        require(is_valid_utf8(line), "every reply line is valid UTF-8", line);
        written.remove_prefix(line.size());
    }
}

// The library's own == takes 1 and 1.0 as equal, and -0.0 and 0.0. Here a double equals only
// a double of the same bits; signed and unsigned integers are one kind (the parser stores a
// non-negative integer as unsigned, "-0" as a signed 0), compared by value. Recursive: only
// for values of bounded depth.
inline bool same_json(const nlohmann::json& a, const nlohmann::json& b) {
    using T = nlohmann::json::value_t;
    const auto integer = [](const nlohmann::json& v) {
        return v.type() == T::number_integer || v.type() == T::number_unsigned;
    };
    if (integer(a) || integer(b)) {
        if (!integer(a) || !integer(b))
            return false;
        const bool a_neg = a.type() == T::number_integer && a.get<std::int64_t>() < 0;
        const bool b_neg = b.type() == T::number_integer && b.get<std::int64_t>() < 0;
        if (a_neg != b_neg)
            return false;
        return a_neg ? a.get<std::int64_t>() == b.get<std::int64_t>()
                     : a.get<std::uint64_t>() == b.get<std::uint64_t>();
    }
    if (a.type() != b.type())
        return false;
    switch (a.type()) {
        case T::number_float:
            return std::bit_cast<std::uint64_t>(a.get<double>()) ==
                   std::bit_cast<std::uint64_t>(b.get<double>());
        case T::array: {
            if (a.size() != b.size())
                return false;
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (!same_json(a[i], b[i]))
                    return false;
            }
            return true;
        }
        case T::object: {
            if (a.size() != b.size())
                return false;
            auto ib = b.begin();
            for (auto ia = a.begin(); ia != a.end(); ++ia, ++ib) {
                if (ia.key() != ib.key() || !same_json(ia.value(), ib.value()))
                    return false;
            }
            return true;
        }
        default:
            return a == b;
    }
}

// Nesting depth of a value (a scalar is 0), without recursion: fuzzed values may nest deeply.
inline std::size_t json_depth(const nlohmann::json& root) {
    std::vector<std::pair<const nlohmann::json*, std::size_t>> todo{{&root, 0}};
    std::size_t deepest = 0;
    while (!todo.empty()) {
        auto [v, depth] = todo.back();
        todo.pop_back();
        if (!v->is_structured())
            continue;
        deepest = std::max(deepest, depth + 1);
        for (const auto& child : *v)
            todo.emplace_back(&child, depth + 1);
    }
    return deepest;
}

}  // namespace qel::fuzz
