// The line protocol through the real agent's pipe, with the session double giving the
// console session (1 under Wine) its token.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "harness.h"

namespace qel::e2e {
namespace {

const std::vector<std::string> kWithSessions = {"WINEDLLOVERRIDES=wtsapi32=n", "NO_COLOR=1",
                                                "QEL_WTS_SESSIONS=1:active"};

std::vector<std::string> session(std::vector<std::string> steps) {
    steps.insert(steps.begin(), "session");
    const RunResult r = run_windows(tool_exe(), steps);
    return lines_of(r.out);
}

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

const std::string kAuthOk = R"(< {"ok":true,"result":true})";
const std::string kPong = R"(< {"ok":true,"result":"pong"})";

class Protocol : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        agent_ = std::make_unique<ConsoleAgent>(kWithSessions);
        ASSERT_TRUE(agent_->wait_ready()) << agent_->proc().out();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(agent_->stop(), 0);
        agent_.reset();
    }
    static std::unique_ptr<ConsoleAgent> agent_;
};
std::unique_ptr<ConsoleAgent> Protocol::agent_;

TEST_F(Protocol, ReplyTable) {
    const std::string nested126 = std::string(126, '[') + std::string(126, ']');
    const std::string nested127 = std::string(127, '[') + std::string(127, ']');
    const struct {
        const char* name;
        std::vector<std::string> steps;
        std::vector<std::string> expected;
    } cases[] = {
        {"a method before auth closes the connection",
         {"line:{\"method\":\"ping\"}", "rest"},
         {R"(< {"ok":false,"error":"unauthorized: must call 'auth' first"})", "<EOF>"}},
        {"its id is echoed",
         {"line:{\"id\":7,\"method\":\"ping\"}", "rest"},
         {R"(< {"id":7,"ok":false,"error":"unauthorized: must call 'auth' first"})", "<EOF>"}},
        {"auth without a usable token",
         {"line:{\"id\":\"a\",\"method\":\"auth\"}", "rest"},
         {R"(< {"id":"a","ok":false,"error":"auth: missing params.token"})", "<EOF>"}},
        {"auth with a wrong token",
         {"line:{\"method\":\"auth\",\"params\":{\"token\":\"00\"}}", "rest"},
         {R"(< {"ok":false,"error":"auth: bad token"})", "<EOF>"}},
        {"not JSON before auth: one attempt only",
         {"line:hello", "rest"},
         {R"(< {"ok":false,"error":"invalid json: ...)", "<EOF>"}},
        {"the right token, then real answers",
         {"auth", "read", "line:{\"method\":\"ping\"}", "read",
          "line:{\"id\":2,\"method\":\"version\"}", "read", "line:{\"method\":\"nope\"}", "read",
          "close"},
         {kAuthOk, kPong, R"(< {"id":2,"ok":true,"result":{"agent":"0.1.1"}})",
          R"(< {"ok":false,"error":"unknown method: nope"})"}},
        {"CRLF and U+00A0 framing",
         {"auth", "read", "hex:" + hex("\xc2\xa0{\"method\":\"ping\"}\r\n"), "read", "close"},
         {kAuthOk, kPong}},
        {"white space only lines get nothing and do not count",
         {"line:   ", "hex:" + hex("\t\r\n"), "auth", "read", "close"},
         {kAuthOk}},
        {"invalid UTF-8 closes without a reply",
         {"auth", "read", "hex:" + hex("{\"method\":\"ping\xff\"}\n"), "rest"},
         {kAuthOk, "<EOF>"}},
        {"errors after auth keep the connection open",
         {"auth", "read", "line:nope", "read",
          "line:{\"method\":\"auth\",\"params\":{\"token\":\"bad\"}}", "read",
          "line:{\"method\":\"ping\"}", "read", "close"},
         {kAuthOk, "...", R"(< {"ok":false,"error":"auth: bad token"})", kPong}},
        {"the array forms",
         {"auth", "read", "line:[\"x\",\"ping\"]", "read", "line:[]", "read", "line:[\"x\"]",
          "read", "close"},
         {kAuthOk, R"(< {"id":"x","ok":true,"result":"pong"})",
          R"(< {"ok":false,"error":"invalid json: invalid length 1, expected struct Request with 3 elements at line 1 column 2"})",
          R"(< {"ok":false,"error":"invalid json: invalid length 1, expected struct Request with 3 elements at line 1 column 5"})"}},
        {"duplicate and missing fields, two objects on a line",
         {"auth", "read", "line:{\"method\":\"ping\",\"method\":\"ping\"}", "read",
          "line:{\"id\":1}", "read", "line:{\"method\":\"ping\"}{\"method\":\"ping\"}", "read",
          "close"},
         {kAuthOk,
          R"(< {"ok":false,"error":"invalid json: duplicate field `method` at line 1 column 25"})",
          R"(< {"ok":false,"error":"invalid json: missing field `method` at line 1 column 8"})",
          R"(< {"ok":false,"error":"invalid json: trailing characters at line 1 column 18"})"}},
        {"ids are echoed as values",
         {"auth", "read", "line:{\"id\":{\"b\":1,\"a\":2},\"method\":\"ping\"}", "read",
          "line:{\"id\":1.50,\"method\":\"ping\"}", "read",
          "line:{\"id\":null,\"method\":\"ping\"}", "read", "close"},
         {kAuthOk, R"(< {"id":{"a":2,"b":1},"ok":true,"result":"pong"})",
          R"(< {"id":1.5,"ok":true,"result":"pong"})", kPong}},
        {"127 levels pass, 128 do not",
         {"auth", "read", "line:{\"id\":" + nested126 + ",\"method\":\"ping\"}", "read",
          "line:{\"id\":" + nested127 + ",\"method\":\"ping\"}", "read", "close"},
         {kAuthOk, "< {\"id\":" + nested126 + ",\"ok\":true,\"result\":\"pong\"}",
          R"(< {"ok":false,"error":"invalid json: recursion limit exceeded at line 1 column 133"})"}},
    };
    for (const auto& c : cases) {
        const auto got = session(c.steps);
        ASSERT_EQ(got.size(), c.expected.size()) << c.name << "\n" << testing::PrintToString(got);
        for (std::size_t i = 0; i < got.size(); ++i) {
            const std::string& want = c.expected[i];
            if (want.ends_with("...")) {  // a prefix: the library's own wording follows
                EXPECT_TRUE(got[i].starts_with(want.substr(0, want.size() - 3)))
                    << c.name << ": " << got[i];
            } else {
                EXPECT_EQ(got[i], want) << c.name;
            }
        }
    }
}

TEST_F(Protocol, EndsOfConnectionsAreLogged) {
    session({"auth", "read", "hex:" + hex("\xff\n"), "rest"});
    EXPECT_TRUE(agent_->wait_line(
        "DEBUG qel_agent::ipc: ipc: client session ended: stream did not contain valid UTF-8\n"));
    session({"line:{\"method\":\"auth\",\"params\":{\"token\":\"00\"}}", "rest"});
    EXPECT_TRUE(agent_->wait_line(" WARN qel_agent::ipc: auth REJECT for session 1: bad token\n"));
    session({"auth", "read"});
    EXPECT_TRUE(agent_->wait_line("DEBUG qel_agent::ipc: auth ok for session 1\n"));
}

TEST_F(Protocol, ALastLineWithoutALineFeedIsHandled) {
    // A pipe client cannot half-close: it closes both ends, so the reply to its last line
    // fails to be written, and the connection ends with that write error.
    const auto before = agent_->proc().out().size();
    session({"auth", "read", "hex:" + hex("{\"method\":\"ping\"}"), "sleep:200", "close"});
    EXPECT_TRUE(agent_->proc().wait_out(
        [before](const std::string& out) {
            return out.find("ipc: client session ended: ", before) != std::string::npos;
        },
        kWait));
    const std::string tail = agent_->proc().out().substr(before);
    EXPECT_NE(tail.find("(os error "), std::string::npos) << tail;
}

long peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

TEST_F(Protocol, AnOverlongLineIsRefusedWithBoundedMemory) {
    const long before = peak_rss_kib(agent_->proc().pid());
    const auto got = session({"auth", "read", "big:67108864", "rest"});  // 64 MiB, no line feed
    ASSERT_EQ(got.size(), 3u) << testing::PrintToString(got);
    EXPECT_EQ(got[0], kAuthOk);
    EXPECT_EQ(
        got[1],
        R"(< {"ok":false,"error":"request line too long: more than 16777216 bytes before its line feed"})");
    EXPECT_EQ(got[2], "<EOF>");
    const long after = peak_rss_kib(agent_->proc().pid());
    ASSERT_GT(before, 0);
    // The line buffer may reach the 16 MiB bound, never the 64 MiB that were sent.
    EXPECT_LT(after - before, 40 * 1024)
        << "peak grew from " << before << " to " << after << " KiB";
}

TEST_F(Protocol, ManyConcurrentClientsGetTheirRepliesInOrder) {
    const RunResult r = run_windows(tool_exe(), {"load", "50", "200"}, {}, 120s);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "good 10000 bad 0\n");
}

}  // namespace
}  // namespace qel::e2e
