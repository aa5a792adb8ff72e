#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>
#include <optional>
#include <regex>
#include <system_error>

#include "common/os_error.h"
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

TEST(WinError, ASystemErrorOfTheRuntimeCarriesItsWindowsCode) {
    struct Case {
        const char* what;
        std::error_code code;
        DWORD last_error;  // left by the failed call below the library
        std::optional<std::uint32_t> os_code;
    };
    const Case cases[] = {
        // asio: the Windows code itself, whatever the last error says by now
        {"iocp",
         {ERROR_NO_SYSTEM_RESOURCES, std::system_category()},
         ERROR_INVALID_HANDLE,
         ERROR_NO_SYSTEM_RESOURCES},
        // std::thread: pthreads' errno; CreateThread's reason is the thread's last error
        {"thread",
         {EAGAIN, std::generic_category()},
         ERROR_NOT_ENOUGH_MEMORY,
         ERROR_NOT_ENOUGH_MEMORY},
        {"thread", {EAGAIN, std::generic_category()}, ERROR_SUCCESS, ERROR_NOT_ENOUGH_MEMORY},
        {"thread", {EINVAL, std::generic_category()}, ERROR_SUCCESS, ERROR_INVALID_PARAMETER},
        // nothing tells a Windows code
        {"thread", {EDOM, std::generic_category()}, ERROR_SUCCESS, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::system_error thrown(c.code, c.what);
        SetLastError(c.last_error);
        const Error e = os_error_from(thrown);
        EXPECT_EQ(e.os_code(), c.os_code) << c.code.value();
        EXPECT_EQ(e.full(), c.os_code ? os_error_text(*c.os_code) : std::string(thrown.what()));
    }
}

TEST(WinError, ClearingTheOsErrorForgetsTheLastError) {
    SetLastError(ERROR_ACCESS_DENIED);
    clear_os_error();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

}  // namespace
}  // namespace qel::win
