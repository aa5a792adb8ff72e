#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/utf.h"
#include "ipc/connection.h"
#include "log_capture.h"
#include "memory_stream.h"
#include "runtime_fixture.h"

namespace qel::ipc {
namespace {

constexpr std::uint32_t kSession = 1;

asio::awaitable<bool> right_token_only(std::string token) {
    co_return token == "right";
}

asio::awaitable<Response> ping_only(Request r) {
    Response reply;
    reply.id = std::move(r.id);
    if (r.method == "ping") {
        reply.ok = true;
        reply.result = "pong";
    } else {
        reply.error = "unknown method: " + r.method;
    }
    co_return reply;
}

ConnectionServices fake_services() {
    return {right_token_only, ping_only,
            [](std::error_code ec) { return "io failure " + std::to_string(ec.value()); }};
}

class Connection : public test::RuntimeTest {
  protected:
    void SetUp() override { test::clear_captured_events(); }

    // Serves the chunks and returns what was written and the connection's result.
    std::pair<std::string, Result<void>> serve(std::deque<std::string> chunks) {
        test::MemoryStream stream(std::move(chunks));
        Result<void> r = run(serve_connection(stream, kSession, fake_services()));
        return {stream.written, std::move(r)};
    }
};

const std::string kAuth = R"({"method":"auth","params":{"token":"right"}})"
                          "\n";
const std::string kAuthOk = "{\"ok\":true,\"result\":true}\n";
const std::string kPong = "{\"ok\":true,\"result\":\"pong\"}\n";

// One expected reply line, line feed included; a prefix when the JSON library's own wording
// follows it.
struct Line {
    Line(const char* t) : text(t) {}
    Line(std::string t) : text(std::move(t)) {}
    std::string text;
    bool prefix = false;
};

Line starting_with(std::string t) {
    Line l(std::move(t));
    l.prefix = true;
    return l;
}

// The written bytes as lines, each with its line feed (a last one without).
std::vector<std::string> split_lines(const std::string& written) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < written.size();) {
        const std::size_t lf = written.find('\n', at);
        const std::size_t end = lf == std::string::npos ? written.size() : lf + 1;
        lines.push_back(written.substr(at, end - at));
        at = end;
    }
    return lines;
}

TEST_F(Connection, RepliesAndTheCloseRule) {
    const std::string kInvalidJson = "{\"ok\":false,\"error\":\"invalid json: ";
    const struct {
        const char* name;
        std::string input;
        std::vector<Line> replies;
    } cases[] = {
        {"method before auth, then closed",
         "{\"method\":\"ping\"}\n{\"method\":\"ping\"}\n",
         {"{\"ok\":false,\"error\":\"unauthorized: must call 'auth' first\"}\n"}},
        {"the id is echoed before auth",
         "{\"id\":7,\"method\":\"ping\"}\n",
         {"{\"id\":7,\"ok\":false,\"error\":\"unauthorized: must call 'auth' first\"}\n"}},
        {"null id is no id",
         "{\"id\":null,\"method\":\"ping\"}\n",
         {"{\"ok\":false,\"error\":\"unauthorized: must call 'auth' first\"}\n"}},
        {"auth without params",
         "{\"id\":1,\"method\":\"auth\"}\n" + kAuth,
         {"{\"id\":1,\"ok\":false,\"error\":\"auth: missing params.token\"}\n"}},
        {"auth with an empty token",
         "{\"method\":\"auth\",\"params\":{\"token\":\"\"}}\n",
         {"{\"ok\":false,\"error\":\"auth: missing params.token\"}\n"}},
        {"auth with a number",
         "{\"method\":\"auth\",\"params\":{\"token\":5}}\n",
         {"{\"ok\":false,\"error\":\"auth: missing params.token\"}\n"}},
        {"auth with params not an object",
         "{\"method\":\"auth\",\"params\":[\"right\"]}\n",
         {"{\"ok\":false,\"error\":\"auth: missing params.token\"}\n"}},
        {"wrong token, then closed",
         "{\"method\":\"auth\",\"params\":{\"token\":\"wrong\"}}\n" + kAuth,
         {"{\"ok\":false,\"error\":\"auth: bad token\"}\n"}},
        {"not JSON before auth, then closed", "hello\n" + kAuth, {starting_with(kInvalidJson)}},
        {"right token, then served", kAuth + "{\"method\":\"ping\"}\n", {kAuthOk, kPong}},
        {"open after errors once authenticated",
         kAuth +
             "nope\n{\"method\":\"auth\",\"params\":{\"token\":\"wrong\"}}\n{\"method\":\"Ping\"}\n"
             "{\"method\":\"ping\"}\n",
         {kAuthOk, starting_with(kInvalidJson), "{\"ok\":false,\"error\":\"auth: bad token\"}\n",
          "{\"ok\":false,\"error\":\"unknown method: Ping\"}\n", kPong}},
        {"CRLF and U+00A0 framing",
         "\xc2\xa0" + kAuth.substr(0, kAuth.size() - 1) + "\r\n" +
             "  {\"method\":\"ping\"}\xe3\x80\x80\r\n",
         {kAuthOk, kPong}},
        {"blank lines get nothing and do not count", "\n   \r\n\xe2\x80\x83\n" + kAuth, {kAuthOk}},
        {"a last line without a line feed is answered",
         kAuth + "{\"method\":\"ping\"}",
         {kAuthOk, kPong}},
        {"array form",
         kAuth + "[\"x\",\"ping\"]\n",
         {kAuthOk, "{\"id\":\"x\",\"ok\":true,\"result\":\"pong\"}\n"}},
        {"auth in other letter case is not auth",
         "{\"method\":\"Auth\"}\n",
         {"{\"ok\":false,\"error\":\"unauthorized: must call 'auth' first\"}\n"}},
        {"after auth it is an unknown method",
         kAuth + "{\"method\":\"AUTH\"}\n",
         {kAuthOk, "{\"ok\":false,\"error\":\"unknown method: AUTH\"}\n"}},
    };
    for (const auto& c : cases) {
        auto [written, result] = serve({c.input});
        EXPECT_TRUE(result.ok()) << c.name << ": " << (result.ok() ? "" : result.error().full());
        const std::vector<std::string> lines = split_lines(written);
        ASSERT_EQ(lines.size(), c.replies.size()) << c.name << ": " << written;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const Line& want = c.replies[i];
            if (want.prefix) {
                EXPECT_TRUE(lines[i].starts_with(want.text) && lines[i].ends_with("\n"))
                    << c.name << ", line " << i << ": " << lines[i];
            } else {
                EXPECT_EQ(lines[i], want.text) << c.name << ", line " << i;
            }
        }
    }
}

TEST_F(Connection, AQuotedLastReadEndsAtACharacterBoundary) {
    // The library's quote of what it read last stops inside the character it refused.
    const struct {
        std::string line;
        std::string reply;
    } cases[] = {
        {"\xc3\xa9",
         "{\"ok\":false,\"error\":\"invalid json: syntax error while parsing value - invalid "
         "literal; last read: '' at line 1 column 1\"}\n"},
        {"[\xe2\x82\xac]",
         "{\"ok\":false,\"error\":\"invalid json: syntax error while parsing value - invalid "
         "literal; last read: '[' at line 1 column 2\"}\n"},
        {"{\"id\":1,\xc3\xa9:1}",
         "{\"ok\":false,\"error\":\"invalid json: syntax error while parsing object key - "
         "invalid literal; last read: '1,'; expected string literal at line 1 column 9\"}\n"},
    };
    for (const auto& c : cases) {
        auto [written, result] = serve({c.line + "\n"});
        EXPECT_TRUE(is_valid_utf8(written)) << c.line;
        EXPECT_EQ(written, c.reply) << c.line;
        EXPECT_TRUE(result.ok()) << c.line;
    }
}

TEST_F(Connection, AuthEventsNameTheSession) {
    serve({kAuth});
    EXPECT_TRUE(test::has_event("DEBUG", "auth ok for session 1"));
    serve({"{\"method\":\"auth\",\"params\":{\"token\":\"nope\"}}\n"});
    EXPECT_TRUE(test::has_event("WARN", "auth REJECT for session 1: bad token"));
}

TEST_F(Connection, InvalidUtf8EndsTheConnectionWithoutAReply) {
    auto [written, result] = serve({kAuth + "{\"method\":\"ping\xff\"}\n{\"method\":\"ping\"}\n"});
    EXPECT_EQ(written, kAuthOk);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().full(), "stream did not contain valid UTF-8");
}

TEST_F(Connection, ReadAndWriteErrorsEndTheConnection) {
    {
        test::MemoryStream stream({kAuth});
        stream.read_error = std::make_error_code(std::errc::io_error);
        Result<void> r = run(serve_connection(stream, kSession, fake_services()));
        EXPECT_EQ(stream.written, kAuthOk);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().full(), "io failure " + std::to_string(int(std::errc::io_error)));
    }
    {
        test::MemoryStream stream({kAuth, "{\"method\":\"ping\"}\n"});
        stream.write_error = std::make_error_code(std::errc::broken_pipe);
        Result<void> r = run(serve_connection(stream, kSession, fake_services()));
        EXPECT_FALSE(r.ok());
    }
}

TEST_F(Connection, AnOverlongLineGetsOneErrorLineAndTheClose) {
    std::deque<std::string> chunks = {kAuth};
    const std::string mib(1 << 20, 'a');
    for (int i = 0; i < 17; ++i)
        chunks.push_back(mib);  // 17 MiB, no line feed
    chunks.push_back("\n{\"method\":\"ping\"}\n");
    auto [written, result] = serve(std::move(chunks));
    EXPECT_EQ(written, kAuthOk +
                           "{\"ok\":false,\"error\":\"request line too long: more than 16777216 "
                           "bytes before its line feed\"}\n");
    ASSERT_FALSE(result.ok());
}

TEST_F(Connection, ALineOfExactlyTheLimitIsServed) {
    // 16 MiB of JSON white space around a request, then the line feed.
    std::string line = "{\"method\":\"ping\"}";
    line += std::string(kMaxRequestLine - line.size(), ' ');
    auto [written, result] = serve({kAuth, line + "\n"});
    EXPECT_EQ(written, kAuthOk + kPong);
    EXPECT_TRUE(result.ok());
}

}  // namespace
}  // namespace qel::ipc
