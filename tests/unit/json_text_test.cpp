#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "common/json_text.h"

namespace qel {
namespace {

using nlohmann::json;

TEST(JsonText, Doubles) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {100.0, "100.0"},
        {1.0, "1.0"},
        {12.5, "12.5"},
        {-2.5, "-2.5"},
        {0.1, "0.1"},
        {123.456, "123.456"},
        {0.00001, "0.00001"},
        {0.000015, "0.000015"},
        {0.000001, "1e-6"},
        {1.5e-7, "1.5e-7"},
        {1e15, "1000000000000000.0"},
        {9007199254740993.0, "9007199254740992.0"},
        {1e16, "1e+16"},
        {1.2345e20, "1.2345e+20"},
        {123456789012345680000.0, "1.2345678901234568e+20"},
        {-1e100, "-1e+100"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {5e-324, "5e-324"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {std::numeric_limits<double>::infinity(), "null"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(to_compact(json(c.value)), c.text) << c.text;
        EXPECT_EQ(to_pretty(json(c.value)), c.text) << c.text;
    }
}

TEST(JsonText, IntegersAndLiterals) {
    struct Case {
        json value;
        const char* text;
    };
    const Case cases[] = {
        {json(std::uint64_t{0}), "0"},
        {json(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
        {json(std::int64_t{-1}), "-1"},
        {json(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
        {json(true), "true"},
        {json(false), "false"},
        {json(nullptr), "null"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(to_compact(c.value), c.text) << c.text;
}

TEST(JsonText, StringEscapes) {
    struct Case {
        std::string raw;
        std::string text;
    };
    const Case cases[] = {
        {"plain", R"("plain")"},
        {"", R"("")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"a\\b", R"("a\\b")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string("\x00\x01\x0b\x0e\x1f", 5), R"("\u0000\u0001\u000b\u000e\u001f")"},
        {"/ \x7f", "\"/ \x7f\""},
        {"\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80", "\"\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80\""},
    };
    for (const Case& c : cases) {
        std::string out;
        append_json_string(out, c.raw);
        EXPECT_EQ(out, c.text);
        EXPECT_EQ(to_compact(json(c.raw)), c.text);
    }
}

// Long strings are scanned eight bytes at a time: every byte value, at every place of a word
// and across a word's end, among fillers at the edges of the escaped range.
TEST(JsonText, StringEscapesAtEveryPlaceOfAWord) {
    const auto escaped = [](unsigned char c) -> std::string {
        switch (c) {
            case '"':
                return "\\\"";
            case '\\':
                return "\\\\";
            case '\b':
                return "\\b";
            case '\t':
                return "\\t";
            case '\n':
                return "\\n";
            case '\f':
                return "\\f";
            case '\r':
                return "\\r";
        }
        if (c < 0x20) {
            static constexpr char hex[] = "0123456789abcdef";
            return std::string("\\u00") + hex[c >> 4] + hex[c & 0x0f];
        }
        return std::string(1, static_cast<char>(c));
    };
    for (const char filler : {'a', ' ', '#', '[', '\x7f', '\x80', '\xff'}) {
        for (std::size_t at = 0; at < 20; ++at) {
            for (int c = 0; c < 256; ++c) {
                std::string raw(20, filler);
                raw[at] = static_cast<char>(c);
                std::string out;
                append_json_string(out, raw);
                const std::string want = "\"" + std::string(at, filler) +
                                         escaped(static_cast<unsigned char>(c)) +
                                         std::string(19 - at, filler) + "\"";
                ASSERT_EQ(out, want) << "byte " << c << " at " << at << " among "
                                     << static_cast<int>(static_cast<unsigned char>(filler));
            }
        }
    }
}

TEST(JsonText, ContainersCompactAndPretty) {
    struct Case {
        json value;
        const char* compact;
        const char* pretty;
    };
    const Case cases[] = {
        {json::object(), "{}", "{}"},
        {json::array(), "[]", "[]"},
        {json::parse(R"([1,[2,3],[]])"), "[1,[2,3],[]]",
         "[\n  1,\n  [\n    2,\n    3\n  ],\n  []\n]"},
        {json::parse(R"({"b":1,"a":[true,null],"B":{},"\u00e9":"x","aa":""})"),
         "{\"B\":{},\"a\":[true,null],\"aa\":\"\",\"b\":1,\"\xc3\xa9\":\"x\"}",
         "{\n  \"B\": {},\n  \"a\": [\n    true,\n    null\n  ],\n  \"aa\": \"\",\n  \"b\": 1,\n"
         "  \"\xc3\xa9\": \"x\"\n}"},
        {json::parse(R"([[[]],{"a":{}}])"), "[[[]],{\"a\":{}}]",
         "[\n  [\n    []\n  ],\n  {\n    \"a\": {}\n  }\n]"},
        {json::parse(R"({"log":"a\nb","n":2.50})"), R"({"log":"a\nb","n":2.5})",
         "{\n  \"log\": \"a\\nb\",\n  \"n\": 2.5\n}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(to_compact(c.value), c.compact);
        EXPECT_EQ(to_pretty(c.value), c.pretty);
    }
}

}  // namespace
}  // namespace qel
