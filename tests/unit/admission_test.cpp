#include <gtest/gtest.h>

#include "auth/admission.h"
#include "log_capture.h"
#include "runtime_fixture.h"

namespace qel::auth {
namespace {

class Admission : public ::testing::Test {
  protected:
    void SetUp() override { test::clear_captured_events(); }
};

TEST_F(Admission, ClientOfTheConsoleSessionIsAdmitted) {
    Result<std::uint32_t> r = admit_console_client(1, 1);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, 1u);
    EXPECT_TRUE(test::captured_events().empty());
}

TEST_F(Admission, ClientOfAnotherSessionIsRejectedWithAWarning) {
    Result<std::uint32_t> r = admit_console_client(2, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().full(), "client session 2 != active console session 1");
    const auto events = test::captured_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, "WARN");
    EXPECT_EQ(events[0].target, "qel_agent::auth");
    EXPECT_EQ(events[0].message, "rejecting pipe client: session=2 active_console=1");
}

TEST_F(Admission, NoConsoleSessionRejectsWithoutAWarning) {
    for (std::uint32_t client : {0u, 1u, 0xFFFFFFFFu}) {
        Result<std::uint32_t> r = admit_console_client(client, kNoConsoleSession);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().full(), "no active console session \u2014 refusing connection");
        EXPECT_EQ(r.error().full().size(), 49u);
    }
    EXPECT_TRUE(test::captured_events().empty());
}

class TokenCheck : public test::RuntimeTest {
  protected:
    void SetUp() override {
        run(store(sessions, 1, kToken));
        test::clear_captured_events();
    }
    static asio::awaitable<void> store(std::shared_ptr<SessionTokens> s, std::uint32_t id,
                                       std::string token) {
        auto map = co_await s->write();
        (*map)[id] = std::move(token);
    }
    bool verify(std::uint32_t id, std::string presented) {
        return run(verify_token(sessions, id, std::move(presented)));
    }

    static constexpr const char* kToken =
        "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    std::shared_ptr<SessionTokens> sessions = std::make_shared<SessionTokens>();
};

TEST_F(TokenCheck, OnlyTheExactStoredTokenMatches) {
    const std::string token = kToken;
    EXPECT_TRUE(verify(1, token));

    std::string upper = token;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_FALSE(verify(1, upper));
    EXPECT_FALSE(verify(1, token.substr(0, 63)));
    EXPECT_FALSE(verify(1, token + "0"));
    std::string last_differs = token;
    last_differs.back() = 'e';
    EXPECT_FALSE(verify(1, last_differs));
    std::string first_differs = token;
    first_differs.front() = '1';
    EXPECT_FALSE(verify(1, first_differs));
    EXPECT_TRUE(test::captured_events().empty());
}

TEST_F(TokenCheck, ASessionWithoutTokenNeverMatches) {
    EXPECT_FALSE(verify(2, kToken));
    EXPECT_FALSE(verify(0, kToken));
    EXPECT_FALSE(verify(2, ""));
}

// The read lock is released before the result is returned: a writer gets it right after.
TEST_F(TokenCheck, ReleasesTheReadLock) {
    EXPECT_TRUE(verify(1, kToken));
    run(store(sessions, 2, kToken));
    EXPECT_TRUE(verify(2, kToken));
}

}  // namespace
}  // namespace qel::auth
