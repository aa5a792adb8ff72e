#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/log.h"
#include "log_capture.h"

namespace qel::log {
namespace {

TEST(LogDrain, FlushesASinkWithoutADrainOfItsOwn) {
    const std::size_t before = test::captured_flushes();
    EXPECT_TRUE(drain(std::chrono::milliseconds(100)));
    EXPECT_EQ(test::captured_flushes(), before + 1);
}

#if defined(__SANITIZE_ADDRESS__)
// After the service has stopped, main returns while other threads may still log; the static
// destructors then run beside them. AddressSanitizer turns a use of a freed logger into a
// report and a failed exit.
TEST(LogPipelineDeathTest, OutlivesTheStaticDestructors) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::thread([] {
                for (;;)
                    log::error(Target::service, "still logging");
            }).detach();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace qel::log
