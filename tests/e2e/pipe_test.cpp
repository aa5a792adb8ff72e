// The named pipe's security and a name that someone else holds.

#include <gtest/gtest.h>

#include "harness.h"

namespace qel::e2e {
namespace {

TEST(Pipe, InstancesCarryTheAgentsDescriptor) {
    ConsoleAgent agent({"NO_COLOR=1"});
    ASSERT_TRUE(agent.wait_ready());
    const RunResult r = run_windows(tool_exe(), {"sddl"});
    ASSERT_EQ(r.status, 0) << r.out;
    // Wine writes the deny of FILE_CREATE_PIPE_INSTANCE (0x4) as LC, and GRGW as GWGR.
    EXPECT_EQ(r.out, "O:SYD:(A;;GA;;;SY)(A;;GA;;;BA)(D;;LC;;;WD)(A;;GWGR;;;AU)\n");
}

TEST(Pipe, ANameHeldByAnotherProcessEndsTheStartInOrder) {
    auto squatter = start_windows(tool_exe(), {"squat"}, {}, /*pipe_stdin=*/true);
    ASSERT_TRUE(squatter->wait_out_contains("ready"));

    ConsoleAgent agent({"NO_COLOR=1"});
    ASSERT_EQ(agent.proc().wait(), 0) << agent.proc().out();  // no Ctrl+C needed
    const std::string out = agent.proc().out();
    const auto failed = out.find(
        "ERROR qel_agent::service: ipc loop failed: cannot create initial pipe "
        "\\\\.\\pipe\\qel-agent: ");
    EXPECT_NE(failed, std::string::npos) << out;
    EXPECT_NE(out.find(" \xe2\x80\x94 triggering service shutdown\n", failed), std::string::npos);
    EXPECT_LT(out.find("ipc: listening on"), failed);
    EXPECT_LT(failed, out.find("agent_loop: shutdown signal received"));
    EXPECT_LT(out.find("agent_loop: shutdown signal received"), out.find("agent_loop: clean exit"));
    squatter->close_stdin();
    EXPECT_EQ(squatter->wait(), 0);
}

}  // namespace
}  // namespace qel::e2e
