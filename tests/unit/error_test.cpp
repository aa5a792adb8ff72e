#include <gtest/gtest.h>

#include <fmt/format.h>

#include "common/error.h"
#include "common/hex.h"

namespace qel {
namespace {

TEST(Error, FormsOfTheChain) {
    struct Case {
        std::vector<std::string> chain;  // outermost first
        std::string plain, full, debug;
    };
    const Case cases[] = {
        {{"sandbox already running"},
         "sandbox already running",
         "sandbox already running",
         "sandbox already running"},
        {{"IO error in winapi call", "Access is denied. (os error 5)"},
         "IO error in winapi call",
         "IO error in winapi call: Access is denied. (os error 5)",
         "IO error in winapi call\n\nCaused by:\n    Access is denied. (os error 5)"},
        {{"write token file for session 2", "create temp token file", "denied (os error 5)"},
         "write token file for session 2",
         "write token file for session 2: create temp token file: denied (os error 5)",
         "write token file for session 2\n\nCaused by:\n    0: create temp token file\n"
         "    1: denied (os error 5)"},
    };
    for (const Case& c : cases) {
        Error e(c.chain.back());
        for (auto it = c.chain.rbegin() + 1; it != c.chain.rend(); ++it)
            e.context(*it);
        EXPECT_EQ(e.chain(), c.chain);
        EXPECT_EQ(fmt::format("{}", e), c.plain);
        EXPECT_EQ(fmt::format("{:#}", e), c.full);
        EXPECT_EQ(e.debug(), c.debug);
    }
}

TEST(Error, ResultCarriesContextOnlyOnFailure) {
    Result<int> ok = 5;
    Result<int> ctx_ok = std::move(ok).context("never shown");
    ASSERT_TRUE(ctx_ok.ok());
    EXPECT_EQ(ctx_ok.value(), 5);

    Result<void> bad = Error("inner");
    Result<void> wrapped = std::move(bad).context("outer");
    ASSERT_FALSE(wrapped.ok());
    EXPECT_EQ(wrapped.error().full(), "outer: inner");
}

TEST(Hex, LowercaseHighNibbleFirst) {
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff, 0x10};
    EXPECT_EQ(hex_lower(bytes), "000fa5ff10");
    EXPECT_EQ(hex_lower({}), "");
}

}  // namespace
}  // namespace qel
