#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "auth/session_tokens.h"
#include "common/win_error.h"
#include "token_file_fixture.h"

namespace qel::auth {
namespace {

using test::TokenFileTest;

const std::string kToken = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

std::string hr_text(DWORD code) {
    return win::hresult_text(win::hresult_from_win32(code));
}

class TokenFile : public TokenFileTest {};

TEST_F(TokenFile, HoldsExactlyTheTokenAndNoTemporaryFileStays) {
    ASSERT_TRUE(wts->set_sessions(L"1:active"));
    Result<void> r = write_token_file(1, kToken);
    ASSERT_TRUE(r.ok()) << r.error().full();
    EXPECT_EQ(read_file(token_path()), kToken);
    EXPECT_FALSE(exists(temp_path()));
    EXPECT_EQ(wts->calls("WTSQueryUserToken"), 1);
}

TEST_F(TokenFile, ReplacesAnEarlierFileAndALeftoverTemporaryFile) {
    std::filesystem::create_directories(std::filesystem::path(token_dir()));
    std::ofstream(std::filesystem::path(token_path())) << "an older and longer token file\r\n";
    std::ofstream(std::filesystem::path(temp_path())) << "left from a failed attempt";
    ASSERT_TRUE(write_token_file(1, kToken).ok());
    EXPECT_EQ(read_file(token_path()), kToken);
    EXPECT_FALSE(exists(temp_path()));
}

// The user's own folder: a leftover temporary file is the user's, and is truncated even while
// a program of the user's still has it open.
TEST_F(TokenFile, ALeftoverTemporaryFileHeldOpenIsTruncatedNotReplaced) {
    std::filesystem::create_directories(std::filesystem::path(token_dir()));
    std::ofstream(std::filesystem::path(temp_path())) << "left from a failed attempt, and longer";
    const HANDLE held = CreateFileW(temp_path().c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Result<void> r = write_token_file(1, kToken);
    char seen[128] = {};
    DWORD n = 0;
    ReadFile(held, seen, sizeof seen, &n, nullptr);
    CloseHandle(held);
    ASSERT_TRUE(r.ok()) << r.error().full();
    EXPECT_EQ(read_file(token_path()), kToken);
    // The holder's handle is on the very file that became the token file.
    EXPECT_EQ(std::string(seen, n), kToken);
}

TEST_F(TokenFile, ClosesTheUserTokenAndRevertsTheThread) {
    ASSERT_TRUE(write_token_file(1, kToken).ok());
    HANDLE user = wts->last_user_token();
    ASSERT_NE(user, nullptr);
    // The value may have gone to another handle since (a runtime thread starting, say): only
    // a token under it would mean that the user's token was not closed.
    TOKEN_TYPE type{};
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(user, TokenType, &type, sizeof type, &size))
        << "the user token is still open";

    HANDLE thread_token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread_token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN))
        << "the thread still impersonates";
}

TEST_F(TokenFile, AFailedTokenQueryNamesTheSession) {
    ASSERT_TRUE(wts->set_sessions(L"1:active,2:active"));
    ASSERT_TRUE(wts->set_query_fail(L"2:5"));
    Result<void> r = write_token_file(2, kToken);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().full(), "WTSQueryUserToken(2): " + hr_text(5));
    EXPECT_NE(r.error().full().find("(0x80070005)"), std::string::npos);
    EXPECT_FALSE(exists(token_dir()));
}

TEST_F(TokenFile, AFolderThatCannotBeMadeFailsUnderItsContext) {
    std::ofstream(std::filesystem::path(token_dir())) << "a file where the folder belongs";
    Result<void> r = write_token_file(1, kToken);
    ASSERT_FALSE(r.ok());
    ASSERT_EQ(r.error().chain().size(), 2u);
    EXPECT_EQ(r.error().message(), "mkdir LOCALAPPDATA\\com.qel");
    EXPECT_EQ(r.error().chain()[1], win::os_error_text(ERROR_ALREADY_EXISTS));
}

TEST_F(TokenFile, ATemporaryFileThatCannotBeCreatedFailsUnderItsContext) {
    std::filesystem::create_directories(std::filesystem::path(temp_path()));
    Result<void> r = write_token_file(1, kToken);
    ASSERT_FALSE(r.ok());
    ASSERT_EQ(r.error().chain().size(), 2u);
    EXPECT_EQ(r.error().message(), "create temp token file");
    EXPECT_NE(r.error().chain()[1].find(" (os error "), std::string::npos);
    EXPECT_FALSE(exists(token_path()));
}

TEST_F(TokenFile, AMoveThatFailsLeavesTheTemporaryFile) {
    // A folder in the target's place survives the delete and refuses the move.
    std::filesystem::create_directories(std::filesystem::path(token_path()));
    Result<void> r = write_token_file(1, kToken);
    ASSERT_FALSE(r.ok());
    ASSERT_EQ(r.error().chain().size(), 2u);
    EXPECT_EQ(r.error().message(), "rename token file into place");
    EXPECT_NE(r.error().chain()[1].find(" (os error "), std::string::npos);
    EXPECT_EQ(read_file(temp_path()), kToken);
}

}  // namespace
}  // namespace qel::auth
