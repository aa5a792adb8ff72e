// The tunnel sandbox through the real agent, with the stand-in sing-box.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <thread>

#include "harness.h"

namespace qel::e2e {
namespace {

std::string profile_with(const std::string& fake) {
    return R"({"method":"connect","params":{"profile":{"qel_fake":)" + fake + "}}}";
}

std::vector<std::string> fake_pids() {
    return lines_of(read_file(runtime_dir() + "/fake-singbox.pids"));
}

bool alive(const std::string& pid) {
    return run_windows(tool_exe(), {"alive", pid}).out == "alive\n";
}

bool eventually(const std::function<bool()>& cond) {
    for (int i = 0; i < 150; ++i) {
        if (cond())
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

class Sandbox : public AgentTest {
  protected:
    void SetUp() override {
        AgentTest::SetUp();
        start_agent();
    }
};

TEST_F(Sandbox, ConnectStateLogsDisconnect) {
    EXPECT_EQ(request(R"({"id":1,"method":"connect","params":{"profile":[1,[2,3],[]]}})"),
              R"({"id":1,"ok":true,"result":{"profile_hash":"c064f4b5056e3d94"}})");
    EXPECT_EQ(read_file(runtime_dir() + "/config.json"),
              "[\n  1,\n  [\n    2,\n    3\n  ],\n  []\n]");

    const std::string state = request(R"({"method":"state"})");
    EXPECT_TRUE(std::regex_match(
        state,
        std::regex(
            R"(\{"ok":true,"result":\{"kill_switch_engaged":false,"profile_hash":"c064f4b5056e3d94","state":"connected","uptime_s":\d+\}\})")))
        << state;

    EXPECT_EQ(request(R"({"method":"disconnect"})"), R"({"ok":true,"result":{"ok":true}})");
    const std::string pid = fake_pids().at(0);
    const std::string out = agent_->proc().out();
    EXPECT_NE(out.find("INFO qel_agent::sandbox::lifecycle: spawning sing-box exe=" +
                       win_path(fake_singbox_exe()) +
                       " cfg=C:\\ProgramData\\QEL\\runtime\\config.json hash=c064f4b5056e3d94\n"),
              std::string::npos)
        << out;
    EXPECT_NE(
        out.find("INFO qel_agent::sandbox::lifecycle: stopping sing-box pid=Some(" + pid + ")\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("INFO qel_agent::sandbox::lifecycle: sing-box exited "
                       "(status=ExitStatus(ExitStatus(1)))\n"),
              std::string::npos);
    EXPECT_NE(out.find("INFO qel_agent::ipc: connect ok, profile_hash=c064f4b5056e3d94\n"),
              std::string::npos);
    EXPECT_FALSE(alive(pid));
    EXPECT_EQ(request(R"({"method":"state"})"),
              R"({"ok":true,"result":{"kill_switch_engaged":false,"state":"idle"}})");
    EXPECT_EQ(request(R"({"method":"disconnect"})"), R"({"ok":true,"result":{"noop":true}})");
}

TEST_F(Sandbox, LogsCarryBothStreamsAndTheTailParameter) {
    ASSERT_NE(request(profile_with(R"({"stdout":["o1","o2"],"stderr":["e1"],"crlf":true})"))
                  .find("profile_hash"),
              std::string::npos);
    std::string logs;
    ASSERT_TRUE(eventually([&] {
        logs = request(R"({"method":"logs"})");
        return logs.find("[err] e1") != std::string::npos &&
               logs.find("[out] o2") != std::string::npos;
    })) << logs;
    EXPECT_LT(logs.find("[out] o1"), logs.find("[out] o2"));
    EXPECT_EQ(logs.find("\\r"), std::string::npos) << "CR LF ends a line: " << logs;

    const std::string all = request(R"({"method":"logs","params":{"tail":1000}})");
    const struct {
        const char* params;
        bool everything;
    } cases[] = {
        {R"({"tail":"5"})", true}, {R"({"tail":-1})", true},  {R"({"tail":-0})", true},
        {R"({"tail":5.0})", true}, {R"({"tail":1e2})", true}, {R"({"tail":null})", true},
        {R"([5])", true},          {R"({"tail":0})", false},
    };
    for (const auto& c : cases) {
        const std::string got =
            request(std::string(R"({"method":"logs","params":)") + c.params + "}");
        if (c.everything) {
            EXPECT_EQ(got, all) << c.params;
        } else {
            EXPECT_EQ(got, R"({"ok":true,"result":{"lines":[]}})") << c.params;
        }
    }
    EXPECT_EQ(request(R"({"method":"logs"})"), all);  // no params
    const std::string one = request(R"({"method":"logs","params":{"tail":1}})");
    EXPECT_EQ(std::count(one.begin(), one.end(), '['), 2) << one;  // "lines":[ and the prefix
    request(R"({"method":"disconnect"})");
}

TEST_F(Sandbox, ConnectIsRefusedWhileConnectedAndWithoutAProfile) {
    ASSERT_NE(request(profile_with("{}")).find("profile_hash"), std::string::npos);
    EXPECT_EQ(request(profile_with("{}")),
              "{\"ok\":false,\"error\":\"already connected/connecting \xe2\x80\x94 call disconnect "
              "first\"}");
    for (const char* line : {R"({"method":"connect"})", R"({"method":"connect","params":[1]})",
                             R"({"method":"connect","params":{"Profile":{}}})"}) {
        EXPECT_EQ(request(line), R"({"ok":false,"error":"missing params.profile"})") << line;
    }
    request(R"({"method":"disconnect"})");
}

TEST_F(Sandbox, AnEarlyExitFailsTheStartWithThatRunsLines) {
    const std::string reply = request(
        profile_with(R"({"stdout":["starting","bad config"],"stderr_raw":"fatal","exit":1})"));
    const std::regex failure(
        R"re(\{"ok":false,"error":"sing-box exited at startup \(status=ExitStatus\(ExitStatus\(1\)\)\); logs:\\n(.*)"\})re");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(reply, m, failure)) << reply;
    const std::string lines = m[1];
    // Each stream's lines in order; how the two streams interleave depends on their pumps.
    const std::size_t starting = lines.find("[out] starting\\n");
    const std::size_t bad_config = lines.find("[out] bad config");
    EXPECT_NE(starting, std::string::npos) << lines;
    EXPECT_NE(bad_config, std::string::npos) << lines;
    EXPECT_LT(starting, bad_config) << lines;
    EXPECT_NE(lines.find("[err] fatal"), std::string::npos) << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '['), 3) << lines;  // those three only

    const std::string reason = reply.substr(reply.find("\"error\":") + 8);
    EXPECT_EQ(request(R"({"method":"state"})"),
              R"({"ok":true,"result":{"kill_switch_engaged":false,"reason":)" +
                  reason.substr(0, reason.size() - 1) + R"(,"state":"failed"}})");
    // A later start succeeds.
    EXPECT_NE(request(profile_with("{}")).find("profile_hash"), std::string::npos);
    request(R"({"method":"disconnect"})");
}

TEST_F(Sandbox, AProcessThatEndsByItselfStaysConnectedUntilDisconnect) {
    ASSERT_NE(request(profile_with(R"({"exit":3,"exit_after_ms":1000})")).find("profile_hash"),
              std::string::npos);
    const std::string pid = fake_pids().at(0);
    ASSERT_TRUE(eventually([&] { return !alive(pid); }));
    EXPECT_NE(request(R"({"method":"state"})").find("\"state\":\"connected\""), std::string::npos);
    EXPECT_EQ(request(R"({"method":"disconnect"})"), R"({"ok":true,"result":{"ok":true}})");
    EXPECT_TRUE(agent_->wait_line("sing-box exited (status=ExitStatus(ExitStatus(3)))\n"));
}

TEST_F(Sandbox, ShutdownStopsSingBox) {
    ASSERT_NE(request(profile_with("{}")).find("profile_hash"), std::string::npos);
    const std::string pid = fake_pids().at(0);
    EXPECT_EQ(agent_->stop(), 0);
    const std::string out = agent_->proc().out();
    const auto shutdown = out.find("agent_loop: shutdown signal received");
    EXPECT_LT(shutdown, out.find("stopping sing-box pid=Some(" + pid + ")"));
    EXPECT_LT(out.find("sing-box exited (status=ExitStatus(ExitStatus(1)))"),
              out.find("agent_loop: clean exit"));
    EXPECT_FALSE(alive(pid));
    agent_.reset();
}

TEST_F(Sandbox, AKilledAgentsSingBoxEndsWithItsJob) {
    ASSERT_NE(request(profile_with("{}")).find("profile_hash"), std::string::npos);
    const std::string pid = fake_pids().at(0);
    ASSERT_TRUE(alive(pid));
    agent_->proc().signal(SIGKILL);
    agent_->proc().wait();
    agent_.reset();
    EXPECT_TRUE(eventually([&] { return !alive(pid); }));
}

TEST_F(Sandbox, DisconnectDuringAnotherConnectionsConnectEndsIdle) {
    auto connecting = start_windows(
        tool_exe(), {"session", "auth", "read", "line:" + profile_with("{}"), "read", "close"});
    ASSERT_TRUE(agent_->wait_line("spawning sing-box"));
    const std::string disconnected = request(R"({"method":"disconnect"})");
    ASSERT_EQ(connecting->wait(), 0);
    EXPECT_NE(connecting->out().find("profile_hash"), std::string::npos) << connecting->out();
    EXPECT_EQ(disconnected, R"({"ok":true,"result":{"ok":true}})");
    EXPECT_EQ(request(R"({"method":"state"})"),
              R"({"ok":true,"result":{"kill_switch_engaged":false,"state":"idle"}})");
    EXPECT_FALSE(alive(fake_pids().at(0)));
}

TEST(SandboxLookup, AMissingSingBoxIsTheLookupError) {
    ConsoleAgent agent(agent_env({"QEL_SINGBOX_EXE=C:\\nowhere\\sing-box.exe"}));
    ASSERT_TRUE(agent.wait_ready());
    const std::string expected =
        R"({"ok":false,"error":"sing-box.exe not found; searched: QEL_SINGBOX_EXE, [\")" +
        std::regex_replace(win_path(win_bin_dir()), std::regex(R"(\\)"), R"(\\\\)") +
        R"(\\\\sing-box.exe\", \"C:\\\\Program Files\\\\QEL\\\\bin\\\\sing-box.exe\"]"})";
    EXPECT_EQ(request(profile_with("{}")), expected);
    EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
}  // namespace qel::e2e

namespace qel::e2e {
namespace {

// A fresh copy of the stand-in as `dir`/sing-box.exe, which the test may hold or remove; its path.
std::string own_program_in(const std::string& dir) {
    remove_tree(dir);
    std::filesystem::create_directories(dir);
    const std::string exe = dir + "/sing-box.exe";
    std::filesystem::copy_file(fake_singbox_exe(), exe);
    return exe;
}

TEST(SandboxLookup, TheFirstFoundPathIsKeptForTheAgentsLife) {
    const std::string dir = win_bin_dir() + "/../e2e-singbox";
    remove_tree(dir);
    std::filesystem::create_directories(dir);
    const std::string exe = dir + "/sing-box.exe";
    ConsoleAgent agent(agent_env({"QEL_SINGBOX_EXE=" + win_path(exe)}));
    ASSERT_TRUE(agent.wait_ready());
    const std::string connect = R"({"method":"connect","params":{"profile":{}}})";

    // Not there yet: the lookup fails and nothing is kept.
    EXPECT_NE(request(connect).find("sing-box.exe not found"), std::string::npos);
    // In place now: found without a restart.
    std::filesystem::copy_file(fake_singbox_exe(), exe);
    EXPECT_NE(request(connect).find("profile_hash"), std::string::npos);
    request(R"({"method":"disconnect"})");
    // Gone again: the kept path is used, and the process cannot be created from it.
    std::filesystem::remove(exe);
    const std::string reply = request(connect);
    EXPECT_TRUE(reply.starts_with(R"({"ok":false,"error":"Command::spawn(sing-box.exe): )"))
        << reply;
    EXPECT_NE(reply.find("(os error 2)"), std::string::npos) << reply;
    EXPECT_EQ(agent.stop(), 0);
    remove_tree(dir);
}

// Any account may read the program, and so hold it open alone (on Windows also with an oplock
// that the start's open would wait for): the start fails at once instead of waiting, and the
// next one works once the program is let go.
TEST(SandboxLookup, AProgramThatAnotherProcessHoldsFailsTheStartWithoutWaiting) {
    const std::string dir = win_bin_dir() + "/../e2e-singbox-held";
    const std::string exe = own_program_in(dir);
    ConsoleAgent agent(agent_env({"QEL_SINGBOX_EXE=" + win_path(exe)}));
    ASSERT_TRUE(agent.wait_ready());
    const std::string connect = R"({"method":"connect","params":{"profile":{}}})";

    auto holder = start_windows(tool_exe(), {"hold", win_path(exe)}, {}, /*pipe_stdin=*/true);
    ASSERT_TRUE(holder->wait_out_contains("ready")) << holder->out();
    // As the reply's JSON string writes it.
    const std::string quoted = std::regex_replace(win_path(exe), std::regex(R"(\\)"), R"(\\)");
    const std::string reply = request(connect);
    EXPECT_TRUE(reply.starts_with(R"({"ok":false,"error":"Command::spawn(sing-box.exe): another )"
                                  R"(process holds )" +
                                  quoted + ": "))
        << reply;
    EXPECT_NE(reply.find("(os error 32)"), std::string::npos) << reply;
    EXPECT_EQ(request(R"({"method":"state"})").find(R"("state":"connected")"), std::string::npos);

    holder->close_stdin();
    EXPECT_EQ(holder->wait(), 0);
    EXPECT_NE(request(connect).find("profile_hash"), std::string::npos);
    EXPECT_EQ(request(R"({"method":"disconnect"})"), R"({"ok":true,"result":{"ok":true}})");
    EXPECT_EQ(agent.stop(), 0);
    remove_tree(dir);
}

// An updater that holds the program to rename it (read and DELETE, sharing read and delete)
// shares what CreateProcessW's own open of the image asks for: a plain start would succeed, and
// so does the agent's.
TEST(SandboxLookup, AHolderThatSharesReadAndDeleteDoesNotStopTheStart) {
    const std::string dir = win_bin_dir() + "/../e2e-singbox-renamer";
    const std::string exe = own_program_in(dir);
    ConsoleAgent agent(agent_env({"QEL_SINGBOX_EXE=" + win_path(exe)}));
    ASSERT_TRUE(agent.wait_ready());

    auto holder =
        start_windows(tool_exe(), {"hold", "--delete", win_path(exe)}, {}, /*pipe_stdin=*/true);
    ASSERT_TRUE(holder->wait_out_contains("ready")) << holder->out();
    const std::string reply = request(R"({"method":"connect","params":{"profile":{}}})");
    EXPECT_NE(reply.find("profile_hash"), std::string::npos) << reply;
    EXPECT_EQ(request(R"({"method":"disconnect"})"), R"({"ok":true,"result":{"ok":true}})");

    holder->close_stdin();
    EXPECT_EQ(holder->wait(), 0);
    EXPECT_EQ(agent.stop(), 0);
    remove_tree(dir);
}

}  // namespace
}  // namespace qel::e2e
