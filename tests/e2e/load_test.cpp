// Load and faults: many connections at once beside a connect/disconnect loop, clients that
// misbehave, and an agent killed in the middle of a start.

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "harness.h"

namespace qel::e2e {
namespace {

class Load : public AgentTest {
  protected:
    void SetUp() override {
        AgentTest::SetUp();
        start_agent({"RUST_LOG=warn"});
    }
};

TEST_F(Load, ManyConnectionsBesideAConnectLoopAllGetTheirReplies) {
    // The bounds are the watchdog: a deadlock shows as a time-out here, not as a hang.
    auto cycles = start_windows(tool_exe(), {"cycle", "20"});
    const RunResult load = run_windows(tool_exe(), {"mixload", "200", "20"}, {}, 180s);
    EXPECT_EQ(load.out, "good 4000 bad 0\n") << load.out;
    EXPECT_EQ(cycles->wait(180s), 0);
    EXPECT_EQ(cycles->out(), "cycles 20 bad 0\n");
}

TEST_F(Load, IdleAndBrokenClientsDoNotDisturbOthers) {
    // One connects and says nothing; one leaves in the middle of a line, before and after auth.
    auto idle = start_windows(tool_exe(), {"session", "sleep:15000", "close"});
    const RunResult cut = run_windows(tool_exe(), {"session", "hex:7b226d6574686f64", "close"});
    const RunResult cut_after_auth =
        run_windows(tool_exe(), {"session", "auth", "read", "hex:7b226d6574686f64", "close"});
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut_after_auth.status, 0);
    const RunResult load = run_windows(tool_exe(), {"load", "20", "100"}, {}, 120s);
    EXPECT_EQ(load.out, "good 2000 bad 0\n") << load.out;
}

TEST_F(Load, AnAgentKilledDuringAConnectLeavesNothingBehind) {
    ASSERT_NE(request(R"({"method":"kill_switch_engage","params":{"tun_iface_alias":"lo"}})")
                  .find("true"),
              std::string::npos);
    auto connecting = start_windows(
        tool_exe(), {"session", "auth", "read",
                     R"(line:{"method":"connect","params":{"profile":{}}})", "read", "close"});
    // Killed within the start-up wait: sing-box exists, the connect has not returned.
    std::string pid;
    for (int i = 0; i < 300 && pid.empty(); ++i) {
        const auto pids = lines_of(read_file(runtime_dir() + "/fake-singbox.pids"));
        if (!pids.empty())
            pid = pids.front();
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(pid.empty());
    agent_->proc().signal(SIGKILL);
    agent_->proc().wait();
    agent_.reset();
    connecting->wait();

    // The job ends sing-box with the agent.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = run_windows(tool_exe(), {"alive", pid}).out == "gone\n";
        if (!gone)
            std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(gone);

    // A clean start: not engaged, idle, and the old filters go with the next disengage.
    ASSERT_NO_FATAL_FAILURE(start_agent({"RUST_LOG=warn"}));
    EXPECT_EQ(request(R"({"method":"state"})"),
              R"({"ok":true,"result":{"kill_switch_engaged":false,"state":"idle"}})");
    EXPECT_EQ(request(R"({"method":"kill_switch_disengage"})"),
              R"({"ok":true,"result":{"engaged":false}})");
    EXPECT_EQ(read_file(fwp_state_file()).find("\nfilter "), std::string::npos)
        << read_file(fwp_state_file());
    EXPECT_NE(request(R"({"method":"connect","params":{"profile":{}}})").find("profile_hash"),
              std::string::npos);
    request(R"({"method":"disconnect"})");
}

}  // namespace
}  // namespace qel::e2e
