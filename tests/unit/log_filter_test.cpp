#include <gtest/gtest.h>

#include "service/logging/filter.h"

namespace qel::logging {
namespace {

using log::Level;

constexpr const char* kAgent = "qel_agent::ipc";
constexpr const char* kOther = "hyper::client";

TEST(LogFilter, DecisionsForRustLogValues) {
    struct Case {
        std::optional<std::string> rust_log;
        const char* target;
        Level level;
        bool allowed;
    };
    const Case cases[] = {
        // Unset: the agent's DEBUG passes, other targets from INFO, TRACE never.
        {std::nullopt, kAgent, Level::debug, true},
        {std::nullopt, kAgent, Level::trace, false},
        {std::nullopt, kOther, Level::debug, false},
        {std::nullopt, kOther, Level::info, true},
        // "warn": WARN and ERROR only, the agent's included.
        {"warn", kAgent, Level::info, false},
        {"warn", kAgent, Level::warn, true},
        {"warn", kOther, Level::error, true},
        // Empty: nothing at all.
        {"", kAgent, Level::error, false},
        // One valid and one invalid directive: the whole value is ignored.
        {"warn,qel_agent=loud", kAgent, Level::debug, true},
        {"warn,qel_agent=loud", kAgent, Level::trace, false},
        // Numeric levels and letter case.
        {"1", kAgent, Level::warn, false},
        {"1", kAgent, Level::error, true},
        {"0", kAgent, Level::error, false},
        {"5", kOther, Level::trace, true},
        {"WARN,qel_agent=TrAcE", kAgent, Level::trace, true},
        // Longest target prefix decides; the default is the last resort.
        {"error,qel_agent=info,qel_agent::ipc=trace", kAgent, Level::trace, true},
        {"error,qel_agent=info,qel_agent::ipc=trace", "qel_agent::auth", Level::debug, false},
        {"error,qel_agent=info,qel_agent::ipc=trace", "qel_agent::auth", Level::info, true},
        {"error,qel_agent=info,qel_agent::ipc=trace", kOther, Level::warn, false},
        // Prefixes are plain string prefixes.
        {"off,qel_agent::ip=debug", kAgent, Level::debug, true},
        // Same target twice: the later one counts.
        {"qel_agent=trace,qel_agent=warn", kAgent, Level::info, false},
        // A target alone lets every level through; no default means other targets are off.
        {"qel_agent", kAgent, Level::trace, true},
        {"qel_agent", kOther, Level::error, false},
        // "off" for a target.
        {"info,qel_agent::ipc=off", kAgent, Level::error, false},
        // Empty pieces are skipped.
        {",,warn,,", kAgent, Level::warn, true},
    };
    for (const Case& c : cases) {
        const LogFilter f = log_filter_for(c.rust_log);
        EXPECT_EQ(f.allows(c.level, c.target), c.allowed)
            << "RUST_LOG=" << c.rust_log.value_or("<unset>") << " target=" << c.target
            << " level=" << static_cast<int>(c.level);
    }
}

TEST(LogFilter, UnparsablePiecesRejectTheWholeValue) {
    for (const char* bad : {"qel_agent=loud", "=info", "a=b=c", "info,x[y]=debug", "qel agent"}) {
        EXPECT_FALSE(parse_log_filter(bad).has_value()) << bad;
    }
}

TEST(LogFilter, LevelTableCoversEveryTarget) {
    const log::LevelTable t = level_table(log_filter_for("warn,qel_agent::wfp=trace"));
    EXPECT_EQ(t.max_level[static_cast<int>(log::Target::ipc)], Level::warn);
    EXPECT_EQ(t.max_level[static_cast<int>(log::Target::wfp_engine)], Level::trace);
    EXPECT_EQ(t.max_level[static_cast<int>(log::Target::wfp_controller)], Level::trace);
    EXPECT_FALSE(level_table(log_filter_for(std::string())).max_level[0].has_value());
}

}  // namespace
}  // namespace qel::logging
