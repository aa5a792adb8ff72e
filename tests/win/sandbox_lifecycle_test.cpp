#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

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

// sing-box is in its kill-on-close job before it runs: an agent that died between the start and
// the binding would otherwise leave it running outside any job. Its first look at itself
// already finds the job.
TEST_F(Lifecycle, SingBoxIsInItsJobFromItsFirstInstruction) {
    BOOL self_in_job = TRUE;
    ASSERT_TRUE(IsProcessInJob(GetCurrentProcess(), nullptr, &self_in_job));
    ASSERT_FALSE(self_in_job) << "sing-box would inherit this program's job";

    const auto profile = nlohmann::json{{"qel_fake", {{"report_job", true}}}};
    Result<std::string> started = run(start_sandbox(sandbox, profile));
    ASSERT_TRUE(started.ok()) << started.error().full();
    std::vector<std::string> lines;
    for (int i = 0; i < 300 && lines.empty(); ++i) {
        run(visit_log_tail(sandbox, 200, [&](const std::string& l) { lines.push_back(l); }));
        if (lines.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    run(stop_sandbox(sandbox));
    ASSERT_FALSE(lines.empty()) << "no output within 15 s";
    EXPECT_EQ(lines.front(), "[out] in job: yes");
}

}  // namespace
}  // namespace qel::sandbox
