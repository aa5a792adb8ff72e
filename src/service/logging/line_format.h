#pragma once
// The two line forms of a log event: the console's text line and the log file's JSON line.

#include <chrono>
#include <string>
#include <string_view>

#include "common/log.h"

namespace qel::logging {

// "2024-01-31T12:34:56.123456Z" (UTC, microseconds, further digits cut off).
std::string format_timestamp(std::chrono::system_clock::time_point t);

// Timestamp, level in five characters, target and ":", message, line feed; with ECMA-48
// colour sequences when colours is true.
std::string format_text_line(log::Level level, std::string_view target, std::string_view message,
                             std::chrono::system_clock::time_point t, bool colours);

// {"timestamp":..,"level":..,"fields":{"message":..},"target":..} and a line feed.
std::string format_json_line(log::Level level, std::string_view target, std::string_view message,
                             std::chrono::system_clock::time_point t);

}  // namespace qel::logging
