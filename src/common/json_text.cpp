#include "common/json_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <nlohmann/json.hpp>

namespace qel {
namespace {

// Shortest digits that read back as the same double, placed positionally for a first-digit
// exponent in [-5, 15] and in exponent form beyond.
void append_double(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    if (d == 0) {
        out += std::signbit(d) ? "-0.0" : "0.0";
        return;
    }
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

    // sci is "[-]D[.DDD]e(+|-)XX".
    const std::size_t e_at = sci.find('e');
    std::string_view mantissa = sci.substr(0, e_at);
    const bool negative = mantissa.front() == '-';
    if (negative)
        mantissa.remove_prefix(1);
    std::string digits;
    for (char c : mantissa) {
        if (c != '.')
            digits.push_back(c);
    }
    const std::string_view exp_text = sci.substr(e_at + 1);
    int exponent = 0;
    std::from_chars(exp_text.data() + 1, exp_text.data() + exp_text.size(), exponent);
    if (exp_text.front() == '-')
        exponent = -exponent;

    if (negative)
        out.push_back('-');
    if (exponent < -5 || exponent > 15) {
        out.push_back(digits.front());
        if (digits.size() > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out.push_back('e');
        out.push_back(exponent < 0 ? '-' : '+');
        out += std::to_string(exponent < 0 ? -exponent : exponent);
        return;
    }
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
        return;
    }
    const auto int_len = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
        out += digits;
        out.append(int_len - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, int_len);
        out.push_back('.');
        out.append(digits, int_len);
    }
}

void append_scalar(std::string& out, const nlohmann::json& v) {
    using T = nlohmann::json::value_t;
    switch (v.type()) {
        case T::boolean:
            out += v.get<bool>() ? "true" : "false";
            return;
        case T::number_unsigned:
            out += std::to_string(v.get<std::uint64_t>());
            return;
        case T::number_integer:
            out += std::to_string(v.get<std::int64_t>());
            return;
        case T::number_float:
            append_double(out, v.get<double>());
            return;
        case T::string:
            append_json_string(out, v.get_ref<const std::string&>());
            return;
        default:
            // null, and the binary and discarded kinds that parsing never yields
            out += "null";
            return;
    }
}

// indent < 0: compact. Recursive: parsed values nest at most 127 levels.
void append_value(std::string& out, const nlohmann::json& v, int indent, int depth) {
    const bool pretty = indent >= 0;
    const auto newline = [&](int level) {
        if (pretty) {
            out.push_back('\n');
            out.append(static_cast<std::size_t>(indent * level), ' ');
        }
    };
    if (v.is_object()) {
        if (v.empty()) {
            out += "{}";
            return;
        }
        out.push_back('{');
        bool first = true;
        for (const auto& [key, member] : v.get_ref<const nlohmann::json::object_t&>()) {
            if (!first)
                out.push_back(',');
            first = false;
            newline(depth + 1);
            append_json_string(out, key);
            out += pretty ? ": " : ":";
            append_value(out, member, indent, depth + 1);
        }
        newline(depth);
        out.push_back('}');
    } else if (v.is_array()) {
        if (v.empty()) {
            out += "[]";
            return;
        }
        out.push_back('[');
        bool first = true;
        for (const auto& element : v) {
            if (!first)
                out.push_back(',');
            first = false;
            newline(depth + 1);
            append_value(out, element, indent, depth + 1);
        }
        newline(depth);
        out.push_back(']');
    } else {
        append_scalar(out, v);
    }
}

}  // namespace

std::string to_compact(const nlohmann::json& v) {
    std::string out;
    append_value(out, v, -1, 0);
    return out;
}

void append_compact(std::string& out, const nlohmann::json& v) {
    append_value(out, v, -1, 0);
}

std::string to_pretty(const nlohmann::json& v) {
    std::string out;
    append_value(out, v, 2, 0);
    return out;
}

namespace {

// Whether any of the eight bytes of w needs an escape (below 0x20, a quote or a backslash).
// Exact for "any", which is all the scan asks: a word without one is copied as it is.
constexpr bool word_needs_escape(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    const auto has_zero_byte = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
    const std::uint64_t below_space = (w - ones * 0x20) & ~w & highs;
    return (below_space | has_zero_byte(w ^ (ones * '"')) | has_zero_byte(w ^ (ones * '\\'))) != 0;
}

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    static constexpr auto needs_escape = [] {
        std::array<bool, 256> t{};
        for (int c = 0; c < 0x20; ++c)
            t[c] = true;
        t['"'] = t['\\'] = true;
        return t;
    }();
    out.push_back('"');
    // Bytes that need no escape go out in runs, found eight at a time: replies carry long log
    // lines that seldom hold one.
    std::size_t run = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        if (s.size() - i >= 8) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            if (!word_needs_escape(w)) {
                i += 8;
                continue;
            }
        }
        for (const std::size_t end = std::min(s.size(), i + 8); i < end; ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (!needs_escape[c])
                continue;
            out.append(s.data() + run, i - run);
            run = i + 1;
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                default:
                    out += "\\u00";
                    out.push_back(hex[c >> 4]);
                    out.push_back(hex[c & 0x0f]);
            }
        }
    }
    out.append(s.data() + run, s.size() - run);
    out.push_back('"');
}

}  // namespace qel
