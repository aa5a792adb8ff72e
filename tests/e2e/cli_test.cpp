// The command line of qel-agent.exe, from a console under Wine.

#include <gtest/gtest.h>

#include <regex>

#include "harness.h"

namespace qel::e2e {
namespace {

TEST(CommandLine, VersionModeWinsOverEverythingElse) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--version"}, {"-V"}, {"-f", "-V"}, {"-V", "--foreground"}, {"x", "-V", "y"}}) {
        const RunResult r = run_windows(agent_exe(), args);
        EXPECT_EQ(r.status, 0) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "QEL.Agent 0.1.1\n") << testing::PrintToString(args);
        EXPECT_EQ(r.err, "") << testing::PrintToString(args);
    }
}

TEST(CommandLine, VersionOptionAsTheProgramName) {
    // The tool starts the agent with "-V" as the whole command line, position 0 included.
    const RunResult r = run_windows(tool_exe(), {"spawn", win_path(agent_exe()), "-V"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "QEL.Agent 0.1.1\n");
}

TEST(CommandLine, AnythingElseAttemptsTheServiceHandOff) {
    const std::regex dispatcher_failure(
        "Error: IO error in winapi call\n\nCaused by:\n    [^\n]+ \\(os error 1063\\)\n");
    const std::vector<std::vector<std::string>> cases = {{},      {"--Version"},      {"-v"},
                                                         {"-fV"}, {"--foreground=1"}, {"-F"}};
    // Wine's dispatcher gives up only after ten seconds: run the cases side by side.
    std::vector<std::unique_ptr<Process>> runs;
    for (const auto& args : cases)
        runs.push_back(start_windows(agent_exe(), args));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& args = cases[i];
        EXPECT_EQ(runs[i]->wait(), 1) << testing::PrintToString(args);
        EXPECT_EQ(runs[i]->out(), "") << testing::PrintToString(args);
        EXPECT_TRUE(std::regex_match(runs[i]->err(), dispatcher_failure))
            << testing::PrintToString(args) << ": " << runs[i]->err();
    }
}

}  // namespace
}  // namespace qel::e2e
