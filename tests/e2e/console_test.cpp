// The console mode of qel-agent.exe: its log lines, the pipe, and the stop on Ctrl+C.

#include <gtest/gtest.h>

#include <regex>

#include "harness.h"

namespace qel::e2e {
namespace {

const std::string kTimestamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)";

std::string plain_line(const std::string& level5, const std::string& target,
                       const std::string& message_re) {
    return kTimestamp + " " + level5 + " " + target + ": " + message_re;
}

TEST(Console, StartsListensAndStopsInOrderOnCtrlC) {
    ConsoleAgent agent({"NO_COLOR=1"});
    ASSERT_TRUE(agent.wait_line("ipc: listening on \\\\.\\pipe\\qel-agent")) << agent.proc().out();
    ASSERT_TRUE(agent.wait_ready());  // a client can connect

    ASSERT_EQ(agent.stop(), 0);
    const auto lines = lines_of(agent.proc().out());
    const std::vector<std::pair<std::string, std::string>> expected = {
        {" INFO qel_agent::service",
         "QEL\\.Agent starting \\(foreground mode\\), version 0\\.1\\.1"},
        {" INFO qel_agent::ipc", "ipc: listening on \\\\\\\\\\.\\\\pipe\\\\qel-agent"},
        {" INFO qel_agent::service", "ctrl\\+c received in foreground mode"},
        {" INFO qel_agent::service", "agent_loop: shutdown signal received"},
        {" INFO qel_agent::service", "agent_loop: clean exit"},
    };
    std::size_t at = 0;
    for (const auto& [lead, message] : expected) {
        const std::regex line(kTimestamp + " " + lead + ": " + message);
        while (at < lines.size() && !std::regex_match(lines[at], line))
            ++at;
        EXPECT_LT(at, lines.size()) << "missing, in order: " << lead << ": " << message << "\n"
                                    << agent.proc().out();
    }
}

TEST(Console, ColoursUnlessNoColorIsSetAndNotEmpty) {
    const std::regex coloured(
        "\x1b\\[2m" + kTimestamp +
        "\x1b\\[0m \x1b\\[32m INFO\x1b\\[0m \x1b\\[2mqel_agent::service\x1b\\[0m\x1b\\[2m:"
        "\x1b\\[0m QEL\\.Agent starting \\(foreground mode\\), version 0\\.1\\.1");
    const std::regex plain(
        plain_line(" INFO", "qel_agent::service",
                   "QEL\\.Agent starting \\(foreground mode\\), version 0\\.1\\.1"));
    const struct {
        std::vector<std::string> env;
        bool colours;
    } cases[] = {{{"-NO_COLOR"}, true}, {{"NO_COLOR="}, true}, {{"NO_COLOR=1"}, false}};
    for (const auto& c : cases) {
        ConsoleAgent agent(c.env);
        ASSERT_TRUE(agent.wait_ready());
        ASSERT_EQ(agent.stop(), 0);
        const std::string first = lines_of(agent.proc().out()).at(0);
        EXPECT_TRUE(std::regex_match(first, c.colours ? coloured : plain))
            << testing::PrintToString(c.env) << ": " << first;
        if (!c.colours)
            EXPECT_EQ(agent.proc().out().find('\x1b'), std::string::npos);
    }
}

TEST(Console, RustLogFiltersTheConsole) {
    {
        ConsoleAgent agent({"RUST_LOG=warn", "NO_COLOR=1"});
        ASSERT_TRUE(agent.wait_ready());
        ASSERT_EQ(agent.stop(), 0);
        // The shutdown's disengage warns when nothing was engaged; no INFO line passes.
        const auto lines = lines_of(agent.proc().out());
        ASSERT_EQ(lines.size(), 1u) << agent.proc().out();
        EXPECT_TRUE(std::regex_match(
            lines[0], std::regex(plain_line(" WARN", "qel_agent::wfp::controller",
                                            "kill-switch disengage called but was not engaged"))));
    }
    {
        ConsoleAgent agent({"RUST_LOG=", "NO_COLOR=1"});
        ASSERT_TRUE(agent.wait_ready());
        ASSERT_EQ(agent.stop(), 0);
        EXPECT_EQ(agent.proc().out(), "");
    }
    {
        // One invalid directive: the default filter, the agent's INFO lines included.
        ConsoleAgent agent({"RUST_LOG=warn,qel_agent=loud", "NO_COLOR=1"});
        ASSERT_TRUE(agent.wait_ready());
        ASSERT_EQ(agent.stop(), 0);
        EXPECT_NE(agent.proc().out().find("agent_loop: clean exit"), std::string::npos);
    }
}

}  // namespace
}  // namespace qel::e2e
