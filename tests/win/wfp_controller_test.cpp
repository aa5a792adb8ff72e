#include <gtest/gtest.h>

#include <windows.h>

#include <fwpmu.h>

#include <atomic>

#include "common/async/task.h"
#include "common/async/trigger.h"
#include "wfp/controller/controller.h"
#include "wfp/controller/record.h"
#include "wfp/controller/record_file.h"
#include "wfp_fixture.h"

namespace qel::wfp {
namespace {

using test::call_keys;
using test::expand;
using test::wfp_events;
namespace fwp = test::fwp;

using Outcome = std::shared_ptr<std::optional<Result<void>>>;

// `done` fires once the outcome is stored: before that, only it may be looked at.
asio::awaitable<void> engage_into(std::shared_ptr<KillSwitchController> c, Outcome out,
                                  std::optional<std::string> path, std::optional<std::string> alias,
                                  std::shared_ptr<async::Trigger> done = nullptr) {
    *out = co_await engage_kill_switch(c, path, alias);
    if (done)
        done->fire();
}

asio::awaitable<void> status_into(std::shared_ptr<KillSwitchController> c,
                                  std::shared_ptr<std::atomic<int>> out) {
    *out = co_await is_kill_switch_engaged(c) ? 1 : 0;
}

asio::awaitable<void> disengage_task(std::shared_ptr<KillSwitchController> c) {
    co_await disengage_kill_switch(c);
}

class Controller : public test::WfpTest {
  protected:
    // An engaged controller with the four fixed filters; the journal and log start afresh.
    std::shared_ptr<KillSwitchController> engaged(std::map<std::string, std::string>& keys,
                                                  std::optional<std::string> alias = "lo") {
        auto c = std::make_shared<KillSwitchController>();
        Result<void> r = run(engage_kill_switch(c, app_path(), alias));
        EXPECT_TRUE(r.ok());
        keys = call_keys();
        fwp::reset();
        test::clear_captured_events();
        return c;
    }
};

TEST_F(Controller, DisengageDeletesInInstallOrderThenTheSublayerThenTheHandle) {
    std::map<std::string, std::string> keys;
    auto c = engaged(keys);
    run(disengage_kill_switch(c));
    EXPECT_EQ(wfp_events(),
              (std::vector<std::string>{"INFO controller: kill-switch disengaged on demand",
                                        "INFO kill_switch: kill-switch disengaged"}));
    std::vector<std::string> expected;
    for (int n = 1; n <= 8; ++n)
        expected.push_back("FwpmFilterDeleteByKey0 {A" + std::to_string(n) + "} -> 0x0");
    expected.push_back("FwpmSubLayerDeleteByKey0 {S} -> 0x0");
    expected.push_back("FwpmEngineClose0 {H} -> 0x0");
    EXPECT_EQ(fwp::journal(), expand(expected, keys));
    EXPECT_FALSE(run(is_kill_switch_engaged(c)));
    const fwpdbl::State s = fwp::state();
    EXPECT_TRUE(s.filters.empty() && s.sublayers.empty() && s.engines.empty());
    EXPECT_FALSE(record_exists());
}

TEST_F(Controller, AFailingDeleteDoesNotStopTheTeardown) {
    std::map<std::string, std::string> keys;
    auto c = engaged(keys, std::nullopt);
    keys["R"] = this_run();
    fwp::fail("FwpmFilterDeleteByKey0", 2, 0x5);
    run(disengage_kill_switch(c));
    EXPECT_EQ(wfp_events(), expand({"INFO controller: kill-switch disengaged on demand",
                                    "DEBUG engine: FwpmFilterDeleteByKey0({A2}) rc=0x5",
                                    "INFO kill_switch: kill-switch disengaged",
                                    "WARN engine: FwpmSubLayerDeleteByKey0 rc=0x80320006",
                                    "INFO controller: kill-switch: removed what agent run {R} "
                                    "left installed: sublayer {S} and 1 filters (already gone: "
                                    "0; outside that sublayer, left alone: 0)"},
                                   keys));
    std::vector<std::string> calls = fwp::calls();
    const auto closed = std::find(calls.begin(), calls.end(), "FwpmEngineClose0");
    ASSERT_NE(closed, calls.end());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), closed + 1),
              (std::vector<std::string>{"FwpmFilterDeleteByKey0", "FwpmFilterDeleteByKey0",
                                        "FwpmFilterDeleteByKey0", "FwpmFilterDeleteByKey0",
                                        "FwpmFilterDeleteByKey0", "FwpmFilterDeleteByKey0",
                                        "FwpmSubLayerDeleteByKey0", "FwpmEngineClose0"}));
    // What the teardown left stays recorded, and the sweep after it removes it through a fresh
    // handle.
    EXPECT_EQ(std::vector<std::string>(closed + 1, calls.end()),
              (std::vector<std::string>{"FwpmEngineOpen0", "FwpmSubLayerGetByKey0",
                                        "FwpmFreeMemory0", "FwpmFilterGetByKey0",
                                        "FwpmFilterDeleteByKey0", "FwpmFreeMemory0",
                                        "FwpmSubLayerDeleteByKey0", "FwpmEngineClose0"}));
    EXPECT_TRUE(test::installed_names().empty());
    EXPECT_TRUE(fwp::state().sublayers.empty());
    EXPECT_TRUE(fwp::state().engines.empty());
    EXPECT_FALSE(record_exists());
}

TEST_F(Controller, DisengageWhenNotEngagedOnlyWarns) {
    auto c = std::make_shared<KillSwitchController>();
    run(disengage_kill_switch(c));
    EXPECT_EQ(wfp_events(),
              std::vector<std::string>{
                  "WARN controller: kill-switch disengage called but was not engaged"});
    EXPECT_TRUE(fwp::journal().empty());
}

TEST_F(Controller, EngageWhenEngagedIsANoOp) {
    std::map<std::string, std::string> keys;
    auto c = engaged(keys);
    const fwpdbl::State before = fwp::state();
    Result<void> r = run(engage_kill_switch(c, std::nullopt, "other"));
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(wfp_events(), std::vector<std::string>{
                                "INFO controller: kill-switch already engaged \u2014 no-op"});
    EXPECT_TRUE(fwp::journal().empty());
    EXPECT_EQ(fwp::state().filters.size(), before.filters.size());
    EXPECT_TRUE(run(is_kill_switch_engaged(c)));
}

TEST_F(Controller, ConcurrentEngagesInstallOnceAndAStatusWaitsForTheEngage) {
    auto c = std::make_shared<KillSwitchController>();
    fwp::pause("FwpmFilterAdd0", 3);
    auto first = std::make_shared<std::optional<Result<void>>>();
    auto second = std::make_shared<std::optional<Result<void>>>();
    auto second_done = async::Trigger::create();
    auto status = std::make_shared<std::atomic<int>>(-1);
    async::JoinHandle a = async::spawn(io(), engage_into(c, first, app_path(), "lo"));
    ASSERT_TRUE(fwp::wait_paused(10000));  // the first engage holds the lock, mid-install
    async::JoinHandle s = async::spawn(io(), status_into(c, status));
    async::JoinHandle b =
        async::spawn(io(), engage_into(c, second, std::nullopt, std::nullopt, second_done));
    // Nothing marks a task queued on the lock: this is the time a wrong early answer has to show.
    Sleep(200);
    EXPECT_EQ(status->load(), -1);
    EXPECT_FALSE(second_done->fired());
    fwp::resume();
    run(a.join());
    run(s.join());
    run(b.join());
    ASSERT_TRUE(first->has_value() && second->has_value());
    EXPECT_TRUE((*first)->ok());
    EXPECT_TRUE((*second)->ok());
    EXPECT_EQ(status->load(), 1);  // answered after the engage, and saw its outcome
    const std::vector<std::string> calls = fwp::calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("FwpmEngineOpen0")), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("FwpmFilterAdd0")), 8);
    EXPECT_TRUE(test::has_event("INFO", "kill-switch already engaged \u2014 no-op"));
    EXPECT_EQ(fwp::state().filters.size(), 8u);
}

TEST_F(Controller, StatusDuringTheTeardownIsAlreadyNotEngaged) {
    std::map<std::string, std::string> keys;
    auto c = engaged(keys);
    fwp::pause("FwpmFilterDeleteByKey0", 1);
    async::JoinHandle d = async::spawn(io(), disengage_task(c));
    ASSERT_TRUE(fwp::wait_paused(10000));
    EXPECT_FALSE(run(is_kill_switch_engaged(c)));
    fwp::resume();
    run(d.join());
    EXPECT_TRUE(fwp::state().filters.empty());
}

TEST_F(Controller, ReleasingTheLastReferenceReleasesTheKillSwitch) {
    std::map<std::string, std::string> keys;
    auto c = engaged(keys);
    EXPECT_TRUE(record_exists());
    c.reset();
    EXPECT_EQ(wfp_events(), std::vector<std::string>{"INFO kill_switch: kill-switch disengaged"});
    const fwpdbl::State s = fwp::state();
    EXPECT_TRUE(s.filters.empty() && s.sublayers.empty() && s.engines.empty());
    EXPECT_FALSE(record_exists());
}

}  // namespace
}  // namespace qel::wfp
