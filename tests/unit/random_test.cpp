#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/random.h"

namespace qel {
namespace {

TEST(RandomBytes, FillsTheWholeBufferWithFreshBytes) {
    std::vector<std::uint8_t> a(4096, 0), b(4096, 0);
    ASSERT_TRUE(random_bytes(a).ok());
    ASSERT_TRUE(random_bytes(b).ok());
    EXPECT_NE(a, b);
    // In 4096 random bytes every value turns up; a zero-filled tail would not.
    for (std::size_t part = 0; part < 4; ++part) {
        const auto begin = a.begin() + static_cast<std::ptrdiff_t>(part * 1024);
        EXPECT_GT(std::count_if(begin, begin + 1024, [](std::uint8_t x) { return x != 0; }), 900);
    }
}

TEST(RandomBytes, AnEmptyBufferIsSuccess) {
    EXPECT_TRUE(random_bytes({}).ok());
}

}  // namespace
}  // namespace qel
