#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "log_capture.h"
#include "runtime_fixture.h"
#include "sandbox/lifecycle/lifecycle.h"
#include "win_test_util.h"

namespace qel::sandbox {
namespace {

// Starts and stops the stand-in sing-box from beside this program, with a data folder of its
// own.
class Lifecycle : public test::RuntimeTest {
  protected:
    test::WinTempDir dir;
    test::ScopedEnv programdata{L"PROGRAMDATA", dir.path()};
    test::ScopedEnv singbox{L"QEL_SINGBOX_EXE", test::program_folder() + L"\\fake-singbox.exe"};
    std::shared_ptr<Sandbox> sandbox = std::make_shared<Sandbox>();

    void cycle() {
        Result<std::string> started = run(start_sandbox(sandbox, nlohmann::json::object()));
        ASSERT_TRUE(started.ok()) << started.error().full();
        run(stop_sandbox(sandbox));
    }
};

TEST_F(Lifecycle, StartsAndStopsLeaveNoHandlesBehind) {
    // The first cycles settle what is made once (thread pools, the blocking pool).
    for (int i = 0; i < 2; ++i)
        cycle();
    const long before = test::own_handle_count();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 6; ++i)
        cycle();
    const long after = test::own_handle_count();
    // A handle kept per start (the job object, say) would show as 6 or more.
    EXPECT_LT(after - before, 4) << before << " -> " << after;
}

TEST_F(Lifecycle, AStopLogsTheProcessAndItsExit) {
    test::clear_captured_events();
    cycle();
    bool stopping = false, exited = false;
    for (const auto& e : test::captured_events()) {
        stopping |= e.message.rfind("stopping sing-box pid=Some(", 0) == 0;
        exited |= e.message == "sing-box exited (status=ExitStatus(ExitStatus(1)))";
    }
    EXPECT_TRUE(stopping);
    EXPECT_TRUE(exited);
}

}  // namespace
}  // namespace qel::sandbox
