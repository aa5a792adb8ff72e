#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "service/exit_gate.h"

namespace qel::service {
namespace {

using namespace std::chrono_literals;

TEST(ExitGate, WaitsUntilTheThreadInsideHasLeft) {
    ExitGate gate;
    std::promise<void> entered;
    std::atomic<bool> last_steps_done{false};
    std::thread service_thread([&] {
        const ExitGate::Pass inside(gate);
        entered.set_value();
        std::this_thread::sleep_for(200ms);  // the log's release, say
        last_steps_done = true;
    });
    entered.get_future().wait();
    EXPECT_TRUE(gate.wait_until_left(10s));
    EXPECT_TRUE(last_steps_done);
    service_thread.join();
}

TEST(ExitGate, GivesUpAfterItsBoundWhenTheThreadStaysInside) {
    ExitGate gate;
    std::promise<void> entered;
    std::promise<void> release;
    std::thread stuck([&, until = release.get_future()] {
        const ExitGate::Pass inside(gate);
        entered.set_value();
        until.wait();
    });
    entered.get_future().wait();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(gate.wait_until_left(100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    release.set_value();
    stuck.join();
    EXPECT_TRUE(gate.wait_until_left(0ms));
}

TEST(ExitGate, NoThreadEverInsideIsNoWait) {
    ExitGate gate;
    EXPECT_TRUE(gate.wait_until_left(0ms));
}

}  // namespace
}  // namespace qel::service
