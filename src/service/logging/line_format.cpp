#include "service/logging/line_format.h"

#include <fmt/format.h>

#include "common/json_text.h"

namespace qel::logging {
namespace {

std::string_view padded_level(log::Level l) {
    switch (l) {
        case log::Level::trace:
            return "TRACE";
        case log::Level::debug:
            return "DEBUG";
        case log::Level::info:
            return " INFO";
        case log::Level::warn:
            return " WARN";
        case log::Level::error:
            return "ERROR";
    }
    return "?????";
}

std::string_view level_colour(log::Level l) {
    switch (l) {
        case log::Level::trace:
            return "\x1b[35m";
        case log::Level::debug:
            return "\x1b[34m";
        case log::Level::info:
            return "\x1b[32m";
        case log::Level::warn:
            return "\x1b[33m";
        case log::Level::error:
            return "\x1b[31m";
    }
    return "";
}

constexpr std::string_view kFaint = "\x1b[2m";
constexpr std::string_view kReset = "\x1b[0m";

}  // namespace

std::string format_timestamp(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto us = floor<microseconds>(t);
    const auto day = floor<days>(us);
    const year_month_day ymd{day};
    const hh_mm_ss<microseconds> hms{us - day};
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", static_cast<int>(ymd.year()),
                       static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                       hms.hours().count(), hms.minutes().count(), hms.seconds().count(),
                       hms.subseconds().count());
}

std::string format_text_line(log::Level level, std::string_view target, std::string_view message,
                             std::chrono::system_clock::time_point t, bool colours) {
    std::string out;
    out.reserve(64 + target.size() + message.size());
    const std::string ts = format_timestamp(t);
    if (colours) {
        fmt::format_to(std::back_inserter(out), "{}{}{} {}{}{} {}{}{}{}:{} {}\n", kFaint, ts,
                       kReset, level_colour(level), padded_level(level), kReset, kFaint, target,
                       kReset, kFaint, kReset, message);
    } else {
        fmt::format_to(std::back_inserter(out), "{} {} {}: {}\n", ts, padded_level(level), target,
                       message);
    }
    return out;
}

std::string format_json_line(log::Level level, std::string_view target, std::string_view message,
                             std::chrono::system_clock::time_point t) {
    std::string out;
    out.reserve(96 + target.size() + message.size());
    out += "{\"timestamp\":";
    append_json_string(out, format_timestamp(t));
    out += ",\"level\":";
    append_json_string(out,
                       std::string_view(padded_level(level))
                           .substr(level == log::Level::info || level == log::Level::warn ? 1 : 0));
    out += ",\"fields\":{\"message\":";
    append_json_string(out, message);
    out += "},\"target\":";
    append_json_string(out, target);
    out += "}\n";
    return out;
}

}  // namespace qel::logging
