#include <gtest/gtest.h>

#include "service/logging/line_format.h"

namespace qel::logging {
namespace {

using namespace std::chrono;

// 2024-01-31T08:05:09.123456789Z
const system_clock::time_point kWhen =
    sys_days{year{2024} / January / 31} + hours(8) + minutes(5) + seconds(9) +
    duration_cast<system_clock::duration>(nanoseconds(123456789));

TEST(TextLine, PlainForm) {
    EXPECT_EQ(format_text_line(log::Level::info, "qel_agent::service", "QEL.Agent starting", kWhen,
                               false),
              "2024-01-31T08:05:09.123456Z  INFO qel_agent::service: QEL.Agent starting\n");
    EXPECT_EQ(format_text_line(log::Level::error, "qel_agent::ipc", "a\nb", kWhen, false),
              "2024-01-31T08:05:09.123456Z ERROR qel_agent::ipc: a\nb\n");
    EXPECT_EQ(format_text_line(log::Level::warn, "t", "m", kWhen, false),
              "2024-01-31T08:05:09.123456Z  WARN t: m\n");
}

TEST(TextLine, ColouredForm) {
    EXPECT_EQ(format_text_line(log::Level::debug, "qel_agent::auth", "hi", kWhen, true),
              "\x1b[2m2024-01-31T08:05:09.123456Z\x1b[0m \x1b[34mDEBUG\x1b[0m "
              "\x1b[2mqel_agent::auth\x1b[0m\x1b[2m:\x1b[0m hi\n");
    const struct {
        log::Level level;
        const char* sgr;
    } colours[] = {{log::Level::trace, "\x1b[35mTRACE"},
                   {log::Level::info, "\x1b[32m INFO"},
                   {log::Level::warn, "\x1b[33m WARN"},
                   {log::Level::error, "\x1b[31mERROR"}};
    for (const auto& c : colours) {
        EXPECT_NE(format_text_line(c.level, "t", "m", kWhen, true).find(c.sgr), std::string::npos);
    }
}

TEST(JsonLine, MemberOrderAndEscapes) {
    EXPECT_EQ(format_json_line(log::Level::warn, "qel_agent::ipc",
                               "say \"hi\"\\ \n\r\t\b\f\x01\x1f \xe2\x80\x94", kWhen),
              "{\"timestamp\":\"2024-01-31T08:05:09.123456Z\",\"level\":\"WARN\",\"fields\":{"
              "\"message\":\"say \\\"hi\\\"\\\\ \\n\\r\\t\\b\\f\\u0001\\u001f \xe2\x80\x94\"},"
              "\"target\":\"qel_agent::ipc\"}\n");
    EXPECT_NE(format_json_line(log::Level::info, "t", "m", kWhen).find("\"level\":\"INFO\""),
              std::string::npos);
}

}  // namespace
}  // namespace qel::logging
