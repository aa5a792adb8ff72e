#include <gtest/gtest.h>

#include <windows.h>

#include <regex>

#include "common/win_error.h"

namespace qel::win {
namespace {

TEST(WinError, TheThreeForms) {
    // System message, trailing white space removed, then the code.
    EXPECT_TRUE(std::regex_match(os_error_text(ERROR_ACCESS_DENIED),
                                 std::regex("[^\r\n]*[^\\s] \\(os error 5\\)")))
        << os_error_text(ERROR_ACCESS_DENIED);
    EXPECT_EQ(hresult_from_win32(5), static_cast<std::int32_t>(0x80070005));
    EXPECT_EQ(hresult_from_win32(0), 0);
    // An HRESULT with a message ends "(0xHHHHHHHH)"; one without is the code alone.
    const std::string hr = hresult_text(hresult_from_win32(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(std::regex_match(hr, std::regex("(.+ \\(0x80070005\\)|0x80070005)"))) << hr;
    EXPECT_EQ(hresult_text(static_cast<std::int32_t>(0xA1B2C3D4)), "0xA1B2C3D4");
}

}  // namespace
}  // namespace qel::win
