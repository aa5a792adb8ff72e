#include <gtest/gtest.h>

#include <cerrno>

#include "common/os_error.h"

namespace qel {
namespace {

// The Windows side (system category, the thread's last error) is tested in
// tests/win/win_error_test.cpp.
#ifndef _WIN32
TEST(OsError, ASystemErrorKeepsItsCodeAndPrintsTheSystemMessage) {
    struct Case {
        std::error_code code;
        const char* text;
        std::uint32_t os_code;
    };
    const Case cases[] = {
        // std::thread's failure
        {{EAGAIN, std::generic_category()}, "Resource temporarily unavailable (os error 11)", 11},
        {{ENOMEM, std::system_category()}, "Cannot allocate memory (os error 12)", 12},
    };
    for (const Case& c : cases) {
        const Error e = os_error_from(std::system_error(c.code, "thread"));
        EXPECT_EQ(e.full(), c.text);
        EXPECT_EQ(e.os_code(), c.os_code);
    }
}
#endif

}  // namespace
}  // namespace qel
