// Session tokens issued by the real agent, with the session double.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "harness.h"

namespace qel::e2e {
namespace {

std::vector<std::string> with_sessions(std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"WINEDLLOVERRIDES=wtsapi32=n", "NO_COLOR=1"});
    return extra;
}

TEST(Tokens, ActiveSessionsButSessionZeroGetATokenFile) {
    remove_tree(token_dir());
    ConsoleAgent agent(with_sessions({"QEL_WTS_SESSIONS=0:active,1:active,3:disconnected"}));
    ASSERT_TRUE(agent.wait_ready());
    ASSERT_EQ(agent.stop(), 0);
    const std::string out = agent.proc().out();
    EXPECT_NE(out.find("DEBUG qel_agent::auth: refresh_active_sessions: 2 active session(s)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(" INFO qel_agent::auth: token issued for session 1\n"), std::string::npos);
    EXPECT_EQ(out.find("token issued for session 0"), std::string::npos);
    EXPECT_EQ(out.find("token issued for session 3"), std::string::npos);

    const std::string token = read_file(token_dir() + "/agent.tok");
    EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{64}"))) << token;
    EXPECT_FALSE(std::filesystem::exists(token_dir() + "/agent.tok.tmp"));
}

TEST(Tokens, OneSessionsFailureDoesNotStopTheNext) {
    ConsoleAgent agent(
        with_sessions({"QEL_WTS_SESSIONS=1:active,2:active", "QEL_WTS_QUERY_FAIL=1:5"}));
    ASSERT_TRUE(agent.wait_ready());
    ASSERT_EQ(agent.stop(), 0);
    const std::string out = agent.proc().out();
    EXPECT_TRUE(std::regex_search(
        out, std::regex(" WARN qel_agent::auth: could not write token for session 1: write token "
                        "file for session 1: WTSQueryUserToken\\(1\\): [^\n]*0x80070005[^\n]*\n")))
        << out;
    EXPECT_LT(out.find("could not write token for session 1"),
              out.find("token issued for session 2"));
}

TEST(Tokens, AFailedEnumerationIsLoggedAndTheAgentServes) {
    ConsoleAgent agent(with_sessions({"QEL_WTS_ENUM_FAIL=5"}));
    ASSERT_TRUE(agent.wait_ready());
    ASSERT_EQ(agent.stop(), 0);
    const std::string out = agent.proc().out();
    EXPECT_TRUE(std::regex_search(
        out, std::regex(" WARN qel_agent::service: initial session refresh failed: "
                        "WTSEnumerateSessions failed: [^\n]*0x80070005[^\n]*\n")))
        << out;
}

// A user who makes the token step wait in their own profile (on Windows an oplock on
// agent.tok, say) stands in here as the session double's WTSQueryUserToken, hung for them.
constexpr const char* kForever = "600000";

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string not_finished(int id) {
    return " WARN qel_agent::auth: could not write token for session " + std::to_string(id) +
           ": write token file for session " + std::to_string(id) +
           ": the write did not finish within 5 s; it goes on, and its outcome is logged when it "
           "ends\n";
}

std::string issued(int id) {
    return " INFO qel_agent::auth: token issued for session " + std::to_string(id) + "\n";
}

TEST(Tokens, AHungSessionHoldsUpNeitherThePipeNorTheConsoleSessionNorTheStop) {
    remove_tree(token_dir());
    // Session 2 comes first, and its step never ends while the agent runs.
    ConsoleAgent agent(with_sessions(
        {"QEL_WTS_SESSIONS=2:active,1:active", std::string("QEL_WTS_QUERY_HANG=2:") + kForever}));
    ASSERT_TRUE(agent.wait_line("ipc: listening on", kWait)) << agent.proc().out();
    ASSERT_TRUE(agent.wait_line(issued(1))) << agent.proc().out();
    EXPECT_EQ(request(R"({"id":1,"method":"ping"})"), R"({"id":1,"ok":true,"result":"pong"})");

    ASSERT_EQ(agent.stop(), 0) << agent.proc().out();
    const std::string out = agent.proc().out();
    EXPECT_EQ(count_of(out, not_finished(2)), 1u) << out;
    EXPECT_EQ(out.find("token issued for session 2"), std::string::npos) << out;
    EXPECT_NE(out.find("agent_loop: clean exit"), std::string::npos) << out;
}

// Session 1 (the console, whose client can authenticate) hangs longer than the bound and past
// the first periodic refresh, 30 s after the start; session 3 hangs for good; session 4 comes
// while both still hang.
TEST(Tokens, HungSessionsKeepNoLaterSessionFromItsTokenNorGetASecondAttempt) {
    remove_tree(token_dir());
    const std::string dir = win_bin_dir() + "/../e2e-wts";
    remove_tree(dir);
    std::filesystem::create_directories(dir);
    const std::string sessions = dir + "/sessions.txt", calls = dir + "/calls.txt";
    std::ofstream(sessions) << "1:active,3:active";
    ConsoleAgent agent(with_sessions({"QEL_WTS_SESSIONS=@" + win_path(sessions),
                                      std::string("QEL_WTS_QUERY_HANG=1:50000,3:") + kForever,
                                      "QEL_WTS_CALL_LOG=" + win_path(calls)}));
    ASSERT_TRUE(agent.wait_line("ipc: listening on", kWait)) << agent.proc().out();
    std::ofstream(sessions) << "1:active,3:active,4:active";

    // The periodic refresh serves session 4 beside the two hung ones.
    ASSERT_TRUE(agent.wait_line(issued(4), 60s)) << agent.proc().out();
    // Session 1's only attempt ends after 50 s, and its token is stored then.
    ASSERT_TRUE(agent.wait_line(issued(1), 60s)) << agent.proc().out();
    // Under Wine all sessions are one user: session 1's file was written last, and its token
    // is the one the agent holds for it.
    EXPECT_EQ(request(R"({"id":1,"method":"ping"})"), R"({"id":1,"ok":true,"result":"pong"})");

    ASSERT_EQ(agent.stop(), 0) << agent.proc().out();
    const std::string out = agent.proc().out();
    EXPECT_LT(out.find(not_finished(1)), out.find(issued(1))) << out;
    EXPECT_EQ(count_of(out, issued(1)), 1u) << out;
    EXPECT_EQ(count_of(out, not_finished(3)), 1u) << out;
    // At least one periodic refresh ran while both still hung, and started nothing for them.
    EXPECT_GE(count_of(out, "refresh_active_sessions: 3 active session(s)"), 1u) << out;
    EXPECT_EQ(read_file(calls), "WTSQueryUserToken 1\nWTSQueryUserToken 3\nWTSQueryUserToken 4\n");
}

}  // namespace
}  // namespace qel::e2e
