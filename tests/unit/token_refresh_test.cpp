#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include <asio/experimental/awaitable_operators.hpp>

#include "auth/token_refresh.h"
#include "common/async/runtime.h"
#include "gate.h"
#include "log_capture.h"
#include "runtime_fixture.h"

namespace qel::auth {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kConnected = 1, kDisconnected = 4, kListen = 6;
// The attempt bound of the tests of hung writes; the others keep the agent's 5 s, so that a slow
// machine does not report their writes as not finished.
constexpr std::chrono::milliseconds kShortBound = 300ms;
// A generous bound on the waits of a test: no test asserts speed.
constexpr std::chrono::seconds kGenerous{20};

// Stand-ins for the platform steps: a scripted enumeration and token files in memory. The
// writes run on the attempts' own threads.
struct FakePlatform {
    std::mutex m;
    Result<std::vector<SessionRecord>> sessions = std::vector<SessionRecord>{};
    std::map<std::uint32_t, Error> write_failures;
    std::map<std::uint32_t, std::string> files;
    std::vector<std::pair<std::uint32_t, std::string>> writes;  // every attempt, in order
    int enumerations = 0;
    // The writes of these sessions wait at their gate, standing in for a user who makes the
    // token step's opens in their profile wait.
    std::map<std::uint32_t, std::shared_ptr<test::Gate>> gates;

    void hold(std::uint32_t id) {
        std::lock_guard lock(m);
        gates[id] = test::Gate::create();
    }
    void release(std::uint32_t id) {
        std::lock_guard lock(m);
        gates.at(id)->open();
    }

    std::vector<std::pair<std::uint32_t, std::string>> writes_so_far() {
        std::lock_guard lock(m);
        return writes;
    }
    std::map<std::uint32_t, std::string> files_now() {
        std::lock_guard lock(m);
        return files;
    }
};

TokenSteps steps_of(const std::shared_ptr<FakePlatform>& p,
                    std::chrono::milliseconds bound = kTokenWriteBound) {
    return {
        [p]() -> Result<std::vector<SessionRecord>> {
            std::lock_guard lock(p->m);
            ++p->enumerations;
            return p->sessions;
        },
        [p](std::uint32_t id, const std::string& token) -> Result<void> {
            std::shared_ptr<test::Gate> gate;
            {
                std::lock_guard lock(p->m);
                p->writes.emplace_back(id, token);
                if (auto it = p->gates.find(id); it != p->gates.end())
                    gate = it->second;
            }
            if (gate)
                gate->pass();
            std::lock_guard lock(p->m);
            if (auto it = p->write_failures.find(id); it != p->write_failures.end())
                return it->second;
            p->files[id] = token;
            return {};
        },
        bound,
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
        const auto until = std::chrono::steady_clock::now() + steps.attempt_bound;
        co_return co_await ensure_session_token(std::move(s), id, std::move(steps), until);
    }
    bool logged(const std::string& level, const std::string& message) {
        return test::wait_for_events(
            [&](const std::vector<test::CapturedEvent>& events) {
                for (const auto& e : events) {
                    if (e.level == level && e.message == message)
                        return true;
                }
                return false;
            },
            kGenerous);
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
    // The attempt reports its own outcome, whoever waits for it.
    EXPECT_EQ(test::captured_messages(),
              (std::vector<std::string>{"could not write token for session 9: write token file "
                                        "for session 9: create temp token file: The system "
                                        "cannot find the path specified. (os error 3)"}));
}

// Runs a refresh, but gives up on it after a generous bound, so that a refresh that waits for
// its attempts to end fails the test rather than hang it.
asio::awaitable<std::optional<Result<void>>> refresh_within(std::shared_ptr<SessionTokens> s,
                                                            TokenSteps steps) {
    using namespace asio::experimental::awaitable_operators;
    auto first = co_await (refresh_active_sessions(std::move(s), std::move(steps)) ||
                           test::sleep_for(kGenerous));
    if (first.index() == 1)
        co_return std::nullopt;
    co_return std::get<0>(std::move(first));
}

std::size_t index_of(const std::vector<std::string>& messages, const std::string& m) {
    return std::find(messages.begin(), messages.end(), m) - messages.begin();
}

std::string not_finished(std::uint32_t id) {
    return fmt::format(
        "could not write token for session {0}: write token file for session {0}: the write did "
        "not finish within 300 ms; it goes on, and its outcome is logged when it ends",
        id);
}

TEST_F(TokenRefresh, HungWritesHoldTheRefreshOnlyForItsBoundAndAreReportedWhenTheyEnd) {
    platform->sessions =
        std::vector<SessionRecord>{{2, kSessionActive}, {5, kSessionActive}, {3, kSessionActive}};
    platform->hold(2);
    platform->hold(5);

    std::optional<Result<void>> r = run(refresh_within(sessions, steps_of(platform, kShortBound)));
    ASSERT_TRUE(r.has_value()) << "the refresh waited for the hung writes";
    ASSERT_TRUE(r->ok());
    // Session 3 comes after both hung ones, and still gets its token.
    ASSERT_TRUE(logged("INFO", "token issued for session 3"));
    ASSERT_TRUE(logged("WARN", not_finished(2)));
    ASSERT_TRUE(logged("WARN", not_finished(5)));
    EXPECT_EQ(snapshot().count(2) + snapshot().count(5), 0u);

    // A refresh while they still run starts no second attempt for them, and serves a new one.
    platform->sessions = std::vector<SessionRecord>{
        {2, kSessionActive}, {5, kSessionActive}, {3, kSessionActive}, {4, kSessionActive}};
    r = run(refresh_within(sessions, steps_of(platform, kShortBound)));
    ASSERT_TRUE(r.has_value() && r->ok());
    ASSERT_TRUE(logged("INFO", "token issued for session 4"));

    // Once they end, each is stored once, with the token that is in its file.
    platform->write_failures.emplace(5, Error("Access is denied. (os error 5)"));
    platform->release(2);
    platform->release(5);
    ASSERT_TRUE(logged("INFO", "token issued for session 2"));
    ASSERT_TRUE(logged("WARN",
                       "could not write token for session 5: write token file for session 5: "
                       "Access is denied. (os error 5)"));
    const auto writes = platform->writes_so_far();
    std::map<std::uint32_t, int> per_session;
    for (const auto& [id, token] : writes)
        ++per_session[id];
    EXPECT_EQ(per_session, (std::map<std::uint32_t, int>{{2, 1}, {3, 1}, {4, 1}, {5, 1}}));
    const auto map = snapshot();
    EXPECT_EQ(map.at(2), platform->files_now().at(2));
    EXPECT_FALSE(map.count(5));

    const std::vector<std::string> messages = test::captured_messages();
    EXPECT_LT(index_of(messages, not_finished(2)),
              index_of(messages, "token issued for session 2"));
    for (const char* once : {"token issued for session 2", "token issued for session 3"})
        EXPECT_EQ(std::count(messages.begin(), messages.end(), once), 1) << once;

    // The failed one is tried again by the next refresh, now that its attempt has ended.
    platform->write_failures.clear();
    r = run(refresh_within(sessions, steps_of(platform)));
    ASSERT_TRUE(r.has_value() && r->ok());
    EXPECT_TRUE(logged("INFO", "token issued for session 5"));
}

TEST(TokenAttempts, ARuntimeWithAHungAttemptIsReleasedWithoutWaitingForIt) {
    auto platform = std::make_shared<FakePlatform>();
    auto sessions = std::make_shared<SessionTokens>();
    platform->sessions = std::vector<SessionRecord>{{7, kSessionActive}};
    platform->hold(7);
    {
        std::unique_ptr<async::Runtime> rt = std::move(async::Runtime::build(2).value());
        std::optional<Result<void>> r =
            rt->block_on(refresh_within(sessions, steps_of(platform, kShortBound)));
        ASSERT_TRUE(r.has_value() && r->ok());
        ASSERT_EQ(platform->writes_so_far().size(), 1u);
        // Its report still waits on the runtime, and the write on its own thread.
    }
    // The write ends after the runtime has gone; nothing is left to take its outcome.
    platform->release(7);
    for (auto until = std::chrono::steady_clock::now() + kGenerous;
         !platform->files_now().count(7) && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(platform->files_now().count(7));
}

}  // namespace
}  // namespace qel::auth
