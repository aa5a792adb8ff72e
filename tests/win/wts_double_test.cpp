#include <gtest/gtest.h>

#include <windows.h>
#include <wtsapi32.h>

#include <string>
#include <utility>
#include <vector>

#include "win_test_util.h"
#include "wts_double.h"

namespace qel::test {
namespace {

class WtsDoubleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wts = WtsDouble::find();
        ASSERT_TRUE(wts) << "run with WINEDLLOVERRIDES=wtsapi32=n";
        wts->reset();
    }
    void TearDown() override {
        if (wts)
            wts->reset();
    }

    // The enumeration as (id, state) pairs; nothing and the last error on failure.
    static std::optional<std::vector<std::pair<DWORD, int>>> enumerate(DWORD* error = nullptr) {
        WTS_SESSION_INFOW* info = nullptr;
        DWORD count = 0;
        if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) {
            if (error)
                *error = GetLastError();
            return std::nullopt;
        }
        std::vector<std::pair<DWORD, int>> out;
        for (DWORD i = 0; i < count; ++i)
            out.emplace_back(info[i].SessionId, static_cast<int>(info[i].State));
        WTSFreeMemory(info);
        return out;
    }

    std::optional<WtsDouble> wts;
    ScopedEnv no_sessions_env{L"QEL_WTS_SESSIONS", std::nullopt};
    ScopedEnv no_query_env{L"QEL_WTS_QUERY_FAIL", std::nullopt};
    ScopedEnv no_enum_env{L"QEL_WTS_ENUM_FAIL", std::nullopt};
};

using Sessions = std::vector<std::pair<DWORD, int>>;

TEST_F(WtsDoubleTest, DefaultsToTheConsoleSessionOfWine) {
    EXPECT_EQ(enumerate(), (Sessions{{1, WTSActive}}));
    EXPECT_EQ(wts->calls("WTSEnumerateSessionsW"), 1);
    EXPECT_EQ(wts->calls("WTSFreeMemory"), 1);
    EXPECT_EQ(wts->live_allocations(), 0);
    EXPECT_EQ(wts->bad_frees(), 0);
}

TEST_F(WtsDoubleTest, ReadsTheEnvironmentAtEveryCall) {
    {
        ScopedEnv env(L"QEL_WTS_SESSIONS", L"0:active,1:active,2:active,3:disconnected,4:5");
        EXPECT_EQ(enumerate(), (Sessions{{0, WTSActive},
                                         {1, WTSActive},
                                         {2, WTSActive},
                                         {3, WTSDisconnected},
                                         {4, WTSIdle}}));
    }
    {
        ScopedEnv env(L"QEL_WTS_SESSIONS", std::wstring());
        EXPECT_EQ(enumerate(), Sessions{});
    }
    // Even no session is an array that must be freed.
    EXPECT_EQ(wts->calls("WTSFreeMemory"), 2);
    EXPECT_EQ(wts->live_allocations(), 0);
}

TEST_F(WtsDoubleTest, SettingsOfTheTestWinOverTheEnvironment) {
    ScopedEnv env(L"QEL_WTS_SESSIONS", L"5:active");
    ASSERT_TRUE(wts->set_sessions(L"7:listen"));
    EXPECT_EQ(enumerate(), (Sessions{{7, WTSListen}}));
    ASSERT_TRUE(wts->set_sessions(nullptr));
    EXPECT_EQ(enumerate(), (Sessions{{5, WTSActive}}));
    EXPECT_FALSE(wts->set_sessions(L"7"));
    EXPECT_FALSE(wts->set_sessions(L"7:sleeping"));
    EXPECT_FALSE(wts->set_query_fail(L"2:0"));
    EXPECT_FALSE(wts->set_enum_fail(L"x"));
}

TEST_F(WtsDoubleTest, EnumerationFailsAsConfigured) {
    DWORD error = 0;
    {
        ScopedEnv env(L"QEL_WTS_ENUM_FAIL", L"5");
        EXPECT_FALSE(enumerate(&error));
        EXPECT_EQ(error, 5u);
    }
    ASSERT_TRUE(wts->set_enum_fail(L"1722"));
    EXPECT_FALSE(enumerate(&error));
    EXPECT_EQ(error, 1722u);
    ASSERT_TRUE(wts->set_enum_fail(L""));
    EXPECT_TRUE(enumerate());

    ScopedEnv bad(L"QEL_WTS_SESSIONS", L"1:active,oops");
    EXPECT_FALSE(enumerate(&error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(wts->live_allocations(), 0);
}

TEST_F(WtsDoubleTest, EnumerationChecksItsArguments) {
    WTS_SESSION_INFOW* info = nullptr;
    DWORD count = 0;
    EXPECT_FALSE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 2, &info, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 1, 1, &info, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(WtsDoubleTest, FreeingAForeignPointerIsCounted) {
    int not_ours = 0;
    WTSFreeMemory(nullptr);
    WTSFreeMemory(&not_ours);
    EXPECT_EQ(wts->bad_frees(), 1);
    EXPECT_EQ(wts->calls("WTSFreeMemory"), 2);
    EXPECT_EQ(wts->calls("WTSCloseServer"), -1);
}

TEST_F(WtsDoubleTest, QueryUserTokenGivesAPrimaryTokenOfThisProcess) {
    ASSERT_TRUE(wts->set_sessions(L"0:active,1:active,2:active"));
    HANDLE token = nullptr;
    ASSERT_TRUE(WTSQueryUserToken(2, &token));
    EXPECT_EQ(wts->last_user_token(), token);
    TOKEN_TYPE type{};
    DWORD n = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenType, &type, sizeof type, &n));
    EXPECT_EQ(type, TokenPrimary);
    ASSERT_TRUE(ImpersonateLoggedOnUser(token));
    EXPECT_TRUE(RevertToSelf());
    EXPECT_TRUE(CloseHandle(token));

    // No user in session 0, nor in one that does not exist.
    EXPECT_FALSE(WTSQueryUserToken(0, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_FALSE(WTSQueryUserToken(9, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_EQ(wts->calls("WTSQueryUserToken"), 3);
}

TEST_F(WtsDoubleTest, QueryUserTokenFailsAsConfigured) {
    ASSERT_TRUE(wts->set_sessions(L"1:active,2:active,3:active"));
    ScopedEnv env(L"QEL_WTS_QUERY_FAIL", L"2:5,3:1314");
    HANDLE token = nullptr;
    EXPECT_FALSE(WTSQueryUserToken(2, &token));
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_FALSE(WTSQueryUserToken(3, &token));
    EXPECT_EQ(GetLastError(), 1314u);
    ASSERT_TRUE(WTSQueryUserToken(1, &token));
    CloseHandle(token);
}

}  // namespace
}  // namespace qel::test
