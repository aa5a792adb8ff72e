#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <vector>

#include "auth/token_refresh.h"
#include "log_capture.h"
#include "runtime_fixture.h"

namespace qel::auth {
namespace {

constexpr std::uint32_t kConnected = 1, kDisconnected = 4, kListen = 6;

// Stand-ins for the platform steps: a scripted enumeration and token files in memory.
struct FakePlatform {
    Result<std::vector<SessionRecord>> sessions = std::vector<SessionRecord>{};
    std::map<std::uint32_t, Error> write_failures;
    std::map<std::uint32_t, std::string> files;
    std::vector<std::pair<std::uint32_t, std::string>> writes;  // every attempt, in order
    int enumerations = 0;
};

TokenSteps steps_of(const std::shared_ptr<FakePlatform>& p) {
    return {
        [p]() -> Result<std::vector<SessionRecord>> {
            ++p->enumerations;
            return p->sessions;
        },
        [p](std::uint32_t id, const std::string& token) -> Result<void> {
            p->writes.emplace_back(id, token);
            if (auto it = p->write_failures.find(id); it != p->write_failures.end())
                return it->second;
            p->files[id] = token;
            return {};
        },
    };
}

bool is_lower_hex_token(const std::string& t) {
    return t.size() == 64 && t.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::size_t count_events(const std::string& level, const std::string& message) {
    std::size_t n = 0;
    for (const auto& e : test::captured_events())
        n += e.level == level && e.message == message && e.target == "qel_agent::auth";
    return n;
}

class TokenRefresh : public test::RuntimeTest {
  protected:
    void SetUp() override { test::clear_captured_events(); }

    Result<void> refresh() { return run(refresh_active_sessions(sessions, steps_of(platform))); }
    std::unordered_map<std::uint32_t, std::string> snapshot() { return run(read_map(sessions)); }

    // The runtime's block_on needs a default-constructible result.
    Result<std::string> ensure(std::uint32_t id) {
        return *run(ensure_in_optional(sessions, id, steps_of(platform)));
    }
    static asio::awaitable<std::optional<Result<std::string>>> ensure_in_optional(
        std::shared_ptr<SessionTokens> s, std::uint32_t id, TokenSteps steps) {
        co_return co_await ensure_session_token(std::move(s), id, std::move(steps));
    }

    static asio::awaitable<std::unordered_map<std::uint32_t, std::string>> read_map(
        std::shared_ptr<SessionTokens> s) {
        auto map = co_await s->read();
        co_return *map;
    }

    std::shared_ptr<SessionTokens> sessions = std::make_shared<SessionTokens>();
    std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
};

TEST_F(TokenRefresh, NoActiveSessionOnlyLogsTheCount) {
    platform->sessions = std::vector<SessionRecord>{{2, kDisconnected}, {65536, kListen}};
    ASSERT_TRUE(refresh().ok());
    EXPECT_EQ(count_events("DEBUG", "refresh_active_sessions: 0 active session(s)"), 1u);
    EXPECT_TRUE(platform->writes.empty());
    EXPECT_TRUE(snapshot().empty());
    EXPECT_EQ(test::captured_events().size(), 1u);
}

TEST_F(TokenRefresh, SessionZeroAndInactiveSessionsGetNoToken) {
    platform->sessions = std::vector<SessionRecord>{
        {0, kSessionActive}, {1, kSessionActive}, {2, kDisconnected}, {3, kConnected}};
    ASSERT_TRUE(refresh().ok());

    // Session 0 is counted, but never served.
    EXPECT_EQ(count_events("DEBUG", "refresh_active_sessions: 2 active session(s)"), 1u);
    auto map = snapshot();
    ASSERT_EQ(map.size(), 1u);
    ASSERT_TRUE(map.count(1));
    EXPECT_TRUE(is_lower_hex_token(map[1]));
    ASSERT_EQ(platform->writes.size(), 1u);
    EXPECT_EQ(platform->writes[0].first, 1u);
    EXPECT_EQ(platform->files[1], map[1]);
    EXPECT_EQ(count_events("INFO", "token issued for session 1"), 1u);
}

TEST_F(TokenRefresh, ActiveSessionsAreServedInEnumerationOrderWithTokensOfTheirOwn) {
    platform->sessions =
        std::vector<SessionRecord>{{7, kSessionActive}, {3, kSessionActive}, {5, kSessionActive}};
    ASSERT_TRUE(refresh().ok());
    ASSERT_EQ(platform->writes.size(), 3u);
    EXPECT_EQ(platform->writes[0].first, 7u);
    EXPECT_EQ(platform->writes[1].first, 3u);
    EXPECT_EQ(platform->writes[2].first, 5u);
    auto map = snapshot();
    std::set<std::string> distinct;
    for (std::uint32_t id : {7u, 3u, 5u}) {
        EXPECT_EQ(platform->files[id], map[id]);
        EXPECT_TRUE(is_lower_hex_token(map[id]));
        distinct.insert(map[id]);
    }
    EXPECT_EQ(distinct.size(), 3u);
    EXPECT_EQ(test::captured_messages(),
              (std::vector<std::string>{"refresh_active_sessions: 3 active session(s)",
                                        "token issued for session 7", "token issued for session 3",
                                        "token issued for session 5"}));
}

TEST_F(TokenRefresh, ASessionKeepsItsTokenAcrossRefreshes) {
    platform->sessions = std::vector<SessionRecord>{{1, kSessionActive}};
    ASSERT_TRUE(refresh().ok());
    const std::string first = snapshot()[1];

    // The file went away meanwhile: it is not written again.
    platform->files.clear();
    ASSERT_TRUE(refresh().ok());
    ASSERT_TRUE(refresh().ok());
    EXPECT_EQ(snapshot()[1], first);
    EXPECT_EQ(platform->writes.size(), 1u);
    EXPECT_TRUE(platform->files.empty());
    EXPECT_EQ(count_events("INFO", "token issued for session 1"), 1u);
    EXPECT_EQ(count_events("DEBUG", "refresh_active_sessions: 1 active session(s)"), 3u);
}

TEST_F(TokenRefresh, AFailedSessionIsLoggedAndTheNextStillServed) {
    platform->sessions = std::vector<SessionRecord>{{2, kSessionActive}, {3, kSessionActive}};
    platform->write_failures.emplace(2, Error("WTSQueryUserToken(2): Access is denied."));
    ASSERT_TRUE(refresh().ok());

    EXPECT_EQ(count_events("WARN",
                           "could not write token for session 2: write token file for "
                           "session 2: WTSQueryUserToken(2): Access is denied."),
              1u);
    auto map = snapshot();
    EXPECT_FALSE(map.count(2));
    ASSERT_TRUE(map.count(3));
    EXPECT_EQ(platform->files[3], map[3]);
    EXPECT_EQ(count_events("INFO", "token issued for session 3"), 1u);

    // The next refresh tries again, with a fresh token.
    platform->write_failures.clear();
    ASSERT_TRUE(refresh().ok());
    map = snapshot();
    ASSERT_TRUE(map.count(2));
    ASSERT_EQ(platform->writes.size(), 3u);
    EXPECT_EQ(platform->writes[2].first, 2u);
    EXPECT_NE(platform->writes[2].second, platform->writes[0].second);
    EXPECT_EQ(map[2], platform->writes[2].second);
}

TEST_F(TokenRefresh, EnumerationFailureIsReturnedAndChangesNothing) {
    platform->sessions = std::vector<SessionRecord>{{1, kSessionActive}};
    ASSERT_TRUE(refresh().ok());
    const auto before = snapshot();
    test::clear_captured_events();

    platform->sessions = Error("WTSEnumerateSessions failed: Access is denied. (0x80070005)");
    Result<void> r = refresh();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().full(), "WTSEnumerateSessions failed: Access is denied. (0x80070005)");
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(platform->writes.size(), 1u);
    EXPECT_TRUE(test::captured_events().empty());
}

TEST_F(TokenRefresh, EnsureReturnsTheStoredTokenWithoutWriting) {
    Result<std::string> issued = ensure(4);
    ASSERT_TRUE(issued.ok());
    EXPECT_TRUE(is_lower_hex_token(*issued));
    EXPECT_EQ(snapshot()[4], *issued);

    test::clear_captured_events();
    Result<std::string> again = ensure(4);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, *issued);
    EXPECT_EQ(platform->writes.size(), 1u);
    EXPECT_TRUE(test::captured_events().empty());
}

TEST_F(TokenRefresh, EnsureFailureCarriesTheSessionContext) {
    platform->write_failures.emplace(
        9, Error("The system cannot find the path specified. (os error 3)")
               .context("create temp token file"));
    Result<std::string> r = ensure(9);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "write token file for session 9");
    EXPECT_EQ(fmt::format("{:#}", r.error()),
              "write token file for session 9: create temp token file: The system cannot find "
              "the path specified. (os error 3)");
    EXPECT_TRUE(snapshot().empty());
    EXPECT_TRUE(test::captured_events().empty());
}

}  // namespace
}  // namespace qel::auth
