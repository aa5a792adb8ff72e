#include <gtest/gtest.h>

#include <filesystem>
#include <unordered_map>

#include "auth/session_tokens.h"
#include "common/win_error.h"
#include "log_capture.h"
#include "token_file_fixture.h"
#include "win_test_util.h"

namespace qel::auth {
namespace {

using test::has_event;
using test::is_lower_hex_token;

std::size_t count_events(const std::string& level, const std::string& message) {
    std::size_t n = 0;
    for (const auto& e : test::captured_events())
        n += e.level == level && e.message == message && e.target == "qel_agent::auth";
    return n;
}

asio::awaitable<std::unordered_map<std::uint32_t, std::string>> read_map(
    std::shared_ptr<SessionTokens> s) {
    auto map = co_await s->read();
    co_return *map;
}

// The runtime's block_on needs a default-constructible result.
asio::awaitable<std::optional<Result<std::string>>> ensure_in_optional(
    std::shared_ptr<SessionTokens> s, std::uint32_t id) {
    co_return co_await ensure_session_token(std::move(s), id);
}

class SessionRefresh : public test::TokenFileTest {
  protected:
    Result<void> refresh() { return run(refresh_active_sessions(sessions)); }
    std::unordered_map<std::uint32_t, std::string> snapshot() { return run(read_map(sessions)); }
    void expect_no_leak() {
        EXPECT_EQ(wts->live_allocations(), 0);
        EXPECT_EQ(wts->bad_frees(), 0);
    }

    std::shared_ptr<SessionTokens> sessions = std::make_shared<SessionTokens>();
};

TEST_F(SessionRefresh, SessionZeroAndInactiveSessionsGetNoToken) {
    ASSERT_TRUE(wts->set_sessions(L"0:active,2:disconnected,3:connected,4:listen"));
    ASSERT_TRUE(refresh().ok());
    EXPECT_TRUE(has_event("DEBUG", "refresh_active_sessions: 1 active session(s)"));
    EXPECT_TRUE(snapshot().empty());
    EXPECT_EQ(wts->calls("WTSQueryUserToken"), 0);
    EXPECT_FALSE(exists(token_dir()));
    EXPECT_EQ(wts->calls("WTSFreeMemory"), 1);
    expect_no_leak();
}

TEST_F(SessionRefresh, NoSessionAtAllStillFreesTheArray) {
    ASSERT_TRUE(wts->set_sessions(L""));
    ASSERT_TRUE(refresh().ok());
    EXPECT_TRUE(has_event("DEBUG", "refresh_active_sessions: 0 active session(s)"));
    EXPECT_EQ(test::captured_events().size(), 1u);
    EXPECT_EQ(wts->calls("WTSFreeMemory"), 1);
    expect_no_leak();
}

// Under Wine every session maps to this one user: each new session's file replaces the
// last, so the file is checked after each refresh that adds one.
TEST_F(SessionRefresh, EachNewActiveSessionGetsItsTokenFile) {
    const wchar_t* steps[] = {L"0:active,1:active", L"0:active,1:active,2:active",
                              L"0:active,1:active,2:disconnected,3:active,2:active"};
    const std::uint32_t added[] = {1, 2, 3};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(wts->set_sessions(steps[i]));
        ASSERT_TRUE(refresh().ok());
        const auto map = snapshot();
        ASSERT_EQ(map.size(), static_cast<std::size_t>(i + 1));
        const std::string& token = map.at(added[i]);
        EXPECT_TRUE(is_lower_hex_token(token)) << token;
        const auto file = read_file(token_path());
        ASSERT_TRUE(file);
        EXPECT_EQ(file->size(), 64u);
        EXPECT_EQ(*file, token);
        EXPECT_FALSE(exists(temp_path()));
        EXPECT_EQ(wts->calls("WTSQueryUserToken"), i + 1);
    }
    for (std::uint32_t id : added)
        EXPECT_EQ(count_events("INFO", "token issued for session " + std::to_string(id)), 1u);
    EXPECT_TRUE(has_event("DEBUG", "refresh_active_sessions: 2 active session(s)"));
    EXPECT_TRUE(has_event("DEBUG", "refresh_active_sessions: 3 active session(s)"));
    EXPECT_TRUE(has_event("DEBUG", "refresh_active_sessions: 4 active session(s)"));
    const auto map = snapshot();
    EXPECT_NE(map.at(1), map.at(2));
    EXPECT_NE(map.at(2), map.at(3));
    expect_no_leak();
}

TEST_F(SessionRefresh, ASessionKeepsItsTokenAndItsFileIsNotRestored) {
    ASSERT_TRUE(wts->set_sessions(L"1:active"));
    ASSERT_TRUE(refresh().ok());
    const std::string first = snapshot().at(1);
    ASSERT_TRUE(DeleteFileW(token_path().c_str()));

    ASSERT_TRUE(refresh().ok());
    ASSERT_TRUE(refresh().ok());
    EXPECT_EQ(snapshot().at(1), first);
    EXPECT_FALSE(exists(token_path()));
    EXPECT_EQ(wts->calls("WTSQueryUserToken"), 1);
    EXPECT_EQ(count_events("INFO", "token issued for session 1"), 1u);
    EXPECT_EQ(count_events("DEBUG", "refresh_active_sessions: 1 active session(s)"), 3u);
    expect_no_leak();
}

TEST_F(SessionRefresh, AFailedSessionIsWarnedAboutAndTheNextStillServed) {
    ASSERT_TRUE(wts->set_sessions(L"1:active,2:active,3:active"));
    test::ScopedEnv fail(L"QEL_WTS_QUERY_FAIL", L"2:5");
    ASSERT_TRUE(refresh().ok());

    const std::string hr = win::hresult_text(win::hresult_from_win32(5));
    EXPECT_EQ(hr.substr(hr.size() - 12), "(0x80070005)") << hr;
    EXPECT_EQ(count_events("WARN",
                           "could not write token for session 2: write token file for session 2: "
                           "WTSQueryUserToken(2): " +
                               hr),
              1u);
    const auto map = snapshot();
    EXPECT_EQ(map.size(), 2u);
    EXPECT_FALSE(map.count(2));
    EXPECT_EQ(read_file(token_path()), map.at(3));
    EXPECT_EQ(test::captured_messages(),
              (std::vector<std::string>{
                  "refresh_active_sessions: 3 active session(s)", "token issued for session 1",
                  "could not write token for session 2: write token file for session 2: "
                  "WTSQueryUserToken(2): " +
                      hr,
                  "token issued for session 3"}));
}

TEST_F(SessionRefresh, EnumerationFailureIsReturnedAndChangesNothing) {
    ASSERT_TRUE(wts->set_sessions(L"1:active,2:active"));
    ASSERT_TRUE(refresh().ok());
    const auto before = snapshot();
    test::clear_captured_events();

    test::ScopedEnv fail(L"QEL_WTS_ENUM_FAIL", L"5");
    ASSERT_TRUE(wts->set_sessions(L"1:active,2:active,3:active"));
    Result<void> r = refresh();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().full(),
              "WTSEnumerateSessions failed: " + win::hresult_text(win::hresult_from_win32(5)));
    EXPECT_EQ(snapshot(), before);
    EXPECT_TRUE(test::captured_events().empty());
    EXPECT_EQ(wts->calls("WTSQueryUserToken"), 2);
    expect_no_leak();
}

TEST_F(SessionRefresh, EnsureSessionTokenIssuesOnceAndThenReturnsTheStoredToken) {
    ASSERT_TRUE(wts->set_sessions(L"1:active"));
    auto ensure = [this](std::uint32_t id) { return run(ensure_in_optional(sessions, id)); };
    auto first = ensure(1);
    ASSERT_TRUE(first && first->ok());
    EXPECT_EQ(read_file(token_path()), first->value());
    auto again = ensure(1);
    ASSERT_TRUE(again && again->ok());
    EXPECT_EQ(again->value(), first->value());
    EXPECT_EQ(wts->calls("WTSQueryUserToken"), 1);

    auto failed = ensure(9);
    ASSERT_TRUE(failed && !failed->ok());
    EXPECT_EQ(failed->error().full(),
              "write token file for session 9: WTSQueryUserToken(9): " +
                  win::hresult_text(win::hresult_from_win32(ERROR_NO_TOKEN)));
}

}  // namespace
}  // namespace qel::auth
