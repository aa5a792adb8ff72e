// The kill switch through the real agent, against the fwpuclnt double, whose state file
// outlives the agent like the filtering engine's objects do.

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

#include "harness.h"

namespace qel::e2e {
namespace {

struct WfpState {
    std::vector<std::string> filters;  // display names, in install order
    int sublayers = 0;
    int engines = 0;
};

WfpState read_wfp_state(const std::string& path) {
    WfpState st;
    for (const std::string& line : lines_of(read_file(path))) {
        if (line.rfind("filter ", 0) == 0)
            st.filters.push_back(line.substr(line.find(" name=") + 6));
        if (line.rfind("sublayer ", 0) == 0)
            ++st.sublayers;
        if (line.rfind("engine ", 0) == 0)
            ++st.engines;
    }
    return st;
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (char c : s)
        out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out + "\"";
}

const std::vector<std::string> kAllEight = {
    "QEL permit loopback (v4)",
    "QEL permit loopback (v6)",
    "QEL permit TUN iface v4: lo",
    "QEL permit TUN iface v6: lo",
    "QEL permit app: " + win_path(fake_singbox_exe()),
    "QEL permit app: " + win_path(fake_singbox_exe()),
    "QEL block-all (v4)",
    "QEL block-all (v6)",
};

class KillSwitch : public AgentTest {
  protected:
    void SetUp() override {
        AgentTest::SetUp();
        start_agent();
    }
};

TEST_F(KillSwitch, EngageWithBothValuesThenDisengage) {
    const std::string fake = win_path(fake_singbox_exe());
    EXPECT_EQ(request(R"({"id":1,"method":"kill_switch_engage","params":{"singbox_path":)" +
                      json_string(fake) + R"(,"tun_iface_alias":"lo"}})"),
              R"({"id":1,"ok":true,"result":{"engaged":true,"singbox_path":)" + json_string(fake) +
                  R"(,"tun_iface_alias":"lo"}})");
    WfpState st = read_wfp_state(fwp_state_file());
    EXPECT_EQ(st.filters, kAllEight);
    EXPECT_EQ(st.sublayers, 1);
    EXPECT_EQ(request(R"({"method":"kill_switch_status"})"),
              R"({"ok":true,"result":{"engaged":true}})");
    EXPECT_EQ(request(R"({"method":"state"})"),
              R"({"ok":true,"result":{"kill_switch_engaged":true,"state":"idle"}})");
    EXPECT_TRUE(agent_->wait_line(
        "INFO qel_agent::wfp::kill_switch: kill-switch engaged: 8 filters installed\n"));

    EXPECT_EQ(request(R"({"method":"kill_switch_disengage"})"),
              R"({"ok":true,"result":{"engaged":false}})");
    st = read_wfp_state(fwp_state_file());
    EXPECT_TRUE(st.filters.empty());
    EXPECT_EQ(st.sublayers, 0);
    EXPECT_EQ(st.engines, 0);
    EXPECT_EQ(request(R"({"method":"kill_switch_status"})"),
              R"({"ok":true,"result":{"engaged":false}})");
}

TEST_F(KillSwitch, DefaultsComeFromTheLookupAndTheLastConfiguration) {
    // A connect leaves the configuration behind; its first "tun" inbound names the alias.
    const std::string profile =
        R"({"inbounds":[{"type":"tun"},{"type":"tun","interface_name":"lo"}]})";
    ASSERT_NE(request(R"({"method":"connect","params":{"profile":)" + profile + "}}")
                  .find("profile_hash"),
              std::string::npos);
    request(R"({"method":"disconnect"})");
    const std::string fake = win_path(fake_singbox_exe());
    EXPECT_EQ(request(R"({"method":"kill_switch_engage"})"),
              R"({"ok":true,"result":{"engaged":true,"singbox_path":)" + json_string(fake) +
                  R"(,"tun_iface_alias":"lo"}})");
    EXPECT_EQ(read_wfp_state(fwp_state_file()).filters, kAllEight);
    // Engaged already: a no-op that echoes this request's values.
    EXPECT_EQ(
        request(
            R"({"method":"kill_switch_engage","params":{"singbox_path":5,"tun_iface_alias":""}})"),
        R"({"ok":true,"result":{"engaged":true,"singbox_path":)" + json_string(fake) +
            R"(,"tun_iface_alias":""}})");
    EXPECT_TRUE(agent_->wait_line("kill-switch already engaged \xe2\x80\x94 no-op\n"));
    EXPECT_EQ(read_wfp_state(fwp_state_file()).filters.size(), 8u);
    request(R"({"method":"kill_switch_disengage"})");
}

TEST_F(KillSwitch, AnEmptyPathIsRefusedAndRolledBack) {
    EXPECT_EQ(
        request(
            R"({"method":"kill_switch_engage","params":{"singbox_path":"","tun_iface_alias":"lo"}})"),
        R"({"ok":false,"error":"permit-app: file does not exist: "})");
    EXPECT_TRUE(agent_->wait_line(
        " WARN qel_agent::ipc: kill_switch_engage failed: permit-app: file does not exist: \n"));
    const WfpState st = read_wfp_state(fwp_state_file());
    EXPECT_TRUE(st.filters.empty());
    EXPECT_EQ(st.sublayers, 0);
    EXPECT_EQ(request(R"({"method":"kill_switch_status"})"),
              R"({"ok":true,"result":{"engaged":false}})");
}

TEST_F(KillSwitch, AnUnknownAliasFallsBackToTheAppPermit) {
    EXPECT_NE(request(R"({"method":"kill_switch_engage","params":{"tun_iface_alias":"nope0"}})")
                  .find(R"("engaged":true)"),
              std::string::npos);
    EXPECT_EQ(read_wfp_state(fwp_state_file()).filters.size(), 6u);
    EXPECT_TRUE(agent_->wait_line(
        "could not install TUN-interface permit for 'nope0': resolve TUN alias 'nope0': "
        "ConvertInterfaceAliasToLuid('nope0') rc=0x00000057; falling back to app-only allowlist "
        "(user apps may be blocked)\n"));
    request(R"({"method":"kill_switch_disengage"})");
}

TEST_F(KillSwitch, CtrlCReleasesItBeforeTheSandboxStops) {
    ASSERT_NE(request(R"({"method":"connect","params":{"profile":{}}})").find("profile_hash"),
              std::string::npos);
    const std::string pid = lines_of(read_file(runtime_dir() + "/fake-singbox.pids")).at(0);
    ASSERT_NE(request(R"({"method":"kill_switch_engage","params":{"tun_iface_alias":"lo"}})")
                  .find("true"),
              std::string::npos);
    ASSERT_EQ(agent_->stop(), 0);
    const std::string out = agent_->proc().out();
    // Each line is looked for after the one before it.
    const std::vector<std::string> in_order = {
        " INFO qel_agent::service: agent_loop: shutdown signal received\n",
        " INFO qel_agent::wfp::controller: kill-switch disengaged on demand\n",
        " INFO qel_agent::wfp::kill_switch: kill-switch disengaged\n",
        " INFO qel_agent::sandbox::lifecycle: stopping sing-box pid=Some(" + pid + ")\n",
        " INFO qel_agent::sandbox::lifecycle: sing-box exited "
        "(status=ExitStatus(ExitStatus(1)))\n",
        " INFO qel_agent::service: agent_loop: clean exit\n",
    };
    std::size_t at = 0;
    for (const std::string& line : in_order) {
        const std::size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << "not after the lines before it: " << line << out;
        at = found + line.size();
    }
    const WfpState st = read_wfp_state(fwp_state_file());
    EXPECT_TRUE(st.filters.empty());
    EXPECT_EQ(st.sublayers, 0);
    EXPECT_EQ(run_windows(tool_exe(), {"alive", pid}).out, "gone\n");
    agent_.reset();
}

TEST_F(KillSwitch, TwoConnectionsEngageAtOnceAndOneInstalls) {
    const std::string engage =
        R"(line:{"method":"kill_switch_engage","params":{"tun_iface_alias":"lo"}})";
    auto a = start_windows(tool_exe(), {"session", "auth", "read", engage, "read", "close"});
    auto b = start_windows(tool_exe(), {"session", "auth", "read", engage, "read", "close"});
    ASSERT_EQ(a->wait(), 0);
    ASSERT_EQ(b->wait(), 0);
    EXPECT_NE(a->out().find(R"("engaged":true)"), std::string::npos);
    EXPECT_NE(b->out().find(R"("engaged":true)"), std::string::npos);
    ASSERT_TRUE(agent_->wait_line("already engaged"));
    const std::string out = agent_->proc().out();
    const auto count = [&](const std::string& s) {
        std::size_t n = 0;
        for (auto at = out.find(s); at != std::string::npos; at = out.find(s, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("kill-switch engaged: "), 1u);
    EXPECT_EQ(count("kill-switch already engaged"), 1u);
    EXPECT_EQ(read_wfp_state(fwp_state_file()).filters.size(), 8u);
    request(R"({"method":"kill_switch_disengage"})");
}

TEST_F(KillSwitch, AKilledAgentsFiltersAreRemovedByTheNextDisengage) {
    ASSERT_NE(request(R"({"method":"kill_switch_engage","params":{"tun_iface_alias":"lo"}})")
                  .find("true"),
              std::string::npos);
    agent_->proc().signal(SIGKILL);
    agent_->proc().wait();
    agent_.reset();
    // Fail closed: the filters stay when the agent is gone.
    EXPECT_EQ(read_wfp_state(fwp_state_file()).filters.size(), 8u);

    ASSERT_NO_FATAL_FAILURE(start_agent());
    EXPECT_EQ(request(R"({"method":"kill_switch_status"})"),
              R"({"ok":true,"result":{"engaged":false}})");
    EXPECT_EQ(read_wfp_state(fwp_state_file()).filters.size(), 8u);
    EXPECT_EQ(request(R"({"method":"kill_switch_disengage"})"),
              R"({"ok":true,"result":{"engaged":false}})");
    const WfpState st = read_wfp_state(fwp_state_file());
    EXPECT_TRUE(st.filters.empty()) << testing::PrintToString(st.filters);
    EXPECT_EQ(st.sublayers, 0);
}

// Several agent processes over one data folder and one filtering engine.
class KillSwitchAcrossAgents : public AgentTest {
  protected:
    static std::string record_file() { return runtime_dir() + "/kill-switch.json"; }
    static bool engaged_by(const std::string& reply) {
        return reply.find(R"("engaged":true)") != std::string::npos;
    }
    // A new agent's disengage, with no agent before it still running: nothing of ours stays.
    static void next_agent_removes_everything() {
        ConsoleAgent next(test_agent_env());
        ASSERT_TRUE(next.wait_ready());
        EXPECT_EQ(request(R"({"method":"kill_switch_disengage"})"),
                  R"({"ok":true,"result":{"engaged":false}})");
        const WfpState st = read_wfp_state(fwp_state_file());
        EXPECT_TRUE(st.filters.empty()) << testing::PrintToString(st.filters);
        EXPECT_EQ(st.sublayers, 0);
        EXPECT_TRUE(read_file(record_file()).empty());
        EXPECT_EQ(next.stop(), 0);
    }
};

TEST_F(KillSwitchAcrossAgents, ASecondAgentLeavesTheFirstsKillSwitchAlone) {
    auto first = std::make_unique<ConsoleAgent>(test_agent_env());
    ASSERT_TRUE(first->wait_ready());
    ASSERT_TRUE(engaged_by(
        request(R"({"method":"kill_switch_engage","params":{"tun_iface_alias":"lo"}})")));
    ASSERT_EQ(read_wfp_state(fwp_state_file()).filters.size(), 8u);
    const std::string record = read_file(record_file());
    ASSERT_FALSE(record.empty());
    const std::string token = read_file(token_dir() + "/agent.tok");

    // A second agent on the same machine (an administrator's console beside the service): its
    // shutdown disengages, and must not take the first one's filters with it. Under Wine its
    // pipe opens beside the first's, so Ctrl+C ends it; a pipe that cannot be created ends it
    // through the same orderly shutdown.
    {
        ConsoleAgent second(test_agent_env());
        ASSERT_TRUE(second.wait_line("ipc: listening on"));
        ASSERT_TRUE(second.wait_ready());
        ASSERT_EQ(second.stop(), 0);
        const std::string out = second.proc().out();
        EXPECT_NE(out.find("kill-switch disengage called but was not engaged"), std::string::npos);
        EXPECT_EQ(out.find("removed what agent run"), std::string::npos) << out;
    }
    EXPECT_EQ(read_wfp_state(fwp_state_file()).filters, kAllEight);
    EXPECT_EQ(read_wfp_state(fwp_state_file()).sublayers, 1);
    EXPECT_EQ(read_file(record_file()), record);
    // The second agent gave the session a token of its own; the first still holds its own.
    { std::ofstream(token_dir() + "/agent.tok", std::ios::binary) << token; }
    EXPECT_EQ(request(R"({"method":"kill_switch_status"})"),
              R"({"ok":true,"result":{"engaged":true}})");

    // Once the first is gone (killed: its filters stay and keep blocking), the next agent's
    // disengage removes them.
    first->proc().signal(SIGKILL);
    first->proc().wait();
    first.reset();
    EXPECT_EQ(read_wfp_state(fwp_state_file()).filters.size(), 8u);
    next_agent_removes_everything();
}

TEST_F(KillSwitchAcrossAgents, AnAgentKilledAtAnyStepOfAnEngageLeavesNothingBehind) {
    // "kill" ends the agent before the call has any effect, "kill-after" once it has had it.
    const std::vector<std::string> steps = {
        "FwpmEngineOpen0:1=kill",        "FwpmSubLayerAdd0:1=kill",
        "FwpmSubLayerAdd0:1=kill-after", "FwpmFilterAdd0:1=kill-after",
        "FwpmFilterAdd0:2=kill-after",   "FwpmFilterAdd0:3=kill-after",
        "FwpmFilterAdd0:4=kill-after",   "FwpmFilterAdd0:5=kill-after",
        "FwpmFilterAdd0:6=kill-after",   "FwpmFilterAdd0:7=kill-after",
        "FwpmFilterAdd0:8=kill-after",
    };
    const std::string engage = R"({"method":"kill_switch_engage","params":{"singbox_path":)" +
                               json_string(win_path(fake_singbox_exe())) +
                               R"(,"tun_iface_alias":"lo"}})";
    for (const std::string& step : steps) {
        SCOPED_TRACE(step);
        remove_tree(runtime_dir());
        remove_tree(fwp_state_file());
        {
            std::vector<std::string> env = test_agent_env();
            env.push_back("QEL_FWP_DOUBLE_FAULTS=" + step);
            ConsoleAgent killed(env);
            ASSERT_TRUE(killed.wait_ready());
            EXPECT_EQ(request(engage), "<EOF>");  // no reply: the agent is gone
            EXPECT_EQ(killed.proc().wait(), 99);
        }
        next_agent_removes_everything();
    }
}

}  // namespace
}  // namespace qel::e2e
