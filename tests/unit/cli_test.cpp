#include <gtest/gtest.h>

#include "service/cli.h"

namespace qel {
namespace {

TEST(CommandLine, RunMode) {
    struct Case {
        std::vector<std::string> args;
        RunMode mode;
    };
    const Case cases[] = {
        {{"qel-agent.exe"}, RunMode::service},
        {{"qel-agent.exe", "--version"}, RunMode::version},
        {{"qel-agent.exe", "-V"}, RunMode::version},
        {{"-V"}, RunMode::version},  // the program name counts like any argument
        {{"qel-agent.exe", "-f", "-V"}, RunMode::version},
        {{"qel-agent.exe", "-V", "--foreground"}, RunMode::version},
        {{"qel-agent.exe", "-f"}, RunMode::foreground},
        {{"qel-agent.exe", "x", "--foreground", "y"}, RunMode::foreground},
        {{"qel-agent.exe", "--Version"}, RunMode::service},
        {{"qel-agent.exe", "-v"}, RunMode::service},
        {{"qel-agent.exe", "-fV"}, RunMode::service},
        {{"qel-agent.exe", "--foreground=1"}, RunMode::service},
        {{"qel-agent.exe", "-F"}, RunMode::service},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(choose_run_mode(c.args), c.mode) << testing::PrintToString(c.args);
    }
}

}  // namespace
}  // namespace qel
