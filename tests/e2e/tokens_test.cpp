// Session tokens issued by the real agent, with the session double.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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

}  // namespace
}  // namespace qel::e2e
