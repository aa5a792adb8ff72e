// Load and faults: many connections at once beside a connect/disconnect loop, clients that
// misbehave, and an agent killed in the middle of a start.

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "harness.h"

namespace qel::e2e {
namespace {

const std::string kRuntime = prefix_path("C:\\ProgramData\\QEL\\runtime");
const std::string kState = win_bin_dir() + "/../e2e-load-fwpuclnt-state.txt";

std::vector<std::string> env() {
    return agent_env({"QEL_SINGBOX_EXE=" + win_path(fake_singbox_exe()),
                      "QEL_FWP_DOUBLE_STATE=" + win_path(kState), "RUST_LOG=warn"});
}

class Load : public ::testing::Test {
  protected:
    void SetUp() override {
        remove_tree(kRuntime);
        remove_tree(kState);
    }
};

TEST_F(Load, ManyConnectionsBesideAConnectLoopAllGetTheirReplies) {
    ConsoleAgent agent(env());
    ASSERT_TRUE(agent.wait_ready());
    // The bounds are the watchdog: a deadlock shows as a time-out here, not as a hang.
    auto cycles = start_windows(tool_exe(), {"cycle", "20"});
    const RunResult load = run_windows(tool_exe(), {"mixload", "200", "20"}, {}, 180s);
    EXPECT_EQ(load.out, "good 4000 bad 0\n") << load.out;
    EXPECT_EQ(cycles->wait(180s), 0);
    EXPECT_EQ(cycles->out(), "cycles 20 bad 0\n");
    EXPECT_EQ(agent.stop(), 0);
}

TEST_F(Load, IdleAndBrokenClientsDoNotDisturbOthers) {
    ConsoleAgent agent(env());
    ASSERT_TRUE(agent.wait_ready());
    // One connects and says nothing; one leaves in the middle of a line, before and after auth.
    auto idle = start_windows(tool_exe(), {"session", "sleep:15000", "close"});
    const RunResult cut = run_windows(tool_exe(), {"session", "hex:7b226d6574686f64", "close"});
    const RunResult cut_after_auth =
        run_windows(tool_exe(), {"session", "auth", "read", "hex:7b226d6574686f64", "close"});
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut_after_auth.status, 0);
    const RunResult load = run_windows(tool_exe(), {"load", "20", "100"}, {}, 120s);
    EXPECT_EQ(load.out, "good 2000 bad 0\n") << load.out;
    EXPECT_EQ(agent.stop(), 0);
}

TEST_F(Load, AnAgentKilledDuringAConnectLeavesNothingBehind) {
    auto agent = std::make_unique<ConsoleAgent>(env());
    ASSERT_TRUE(agent->wait_ready());
    ASSERT_NE(request(R"({"method":"kill_switch_engage","params":{"tun_iface_alias":"lo"}})")
                  .find("true"),
              std::string::npos);
    auto connecting = start_windows(
        tool_exe(), {"session", "auth", "read",
                     R"(line:{"method":"connect","params":{"profile":{}}})", "read", "close"});
    // Killed within the start-up wait: sing-box exists, the connect has not returned.
    std::string pid;
    for (int i = 0; i < 300 && pid.empty(); ++i) {
        const auto pids = lines_of(read_file(kRuntime + "/fake-singbox.pids"));
        if (!pids.empty())
            pid = pids.front();
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(pid.empty());
    agent->proc().signal(SIGKILL);
    agent->proc().wait();
    agent.reset();
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
    ConsoleAgent again(env());
    ASSERT_TRUE(again.wait_ready());
    EXPECT_EQ(request(R"({"method":"state"})"),
              R"({"ok":true,"result":{"kill_switch_engaged":false,"state":"idle"}})");
    EXPECT_EQ(request(R"({"method":"kill_switch_disengage"})"),
              R"({"ok":true,"result":{"engaged":false}})");
    EXPECT_EQ(read_file(kState).find("\nfilter "), std::string::npos) << read_file(kState);
    EXPECT_NE(request(R"({"method":"connect","params":{"profile":{}}})").find("profile_hash"),
              std::string::npos);
    request(R"({"method":"disconnect"})");
    EXPECT_EQ(again.stop(), 0);
}

}  // namespace
}  // namespace qel::e2e
