#include <gtest/gtest.h>

#include <stdexcept>

#include "common/async/task.h"
#include "common/async/trigger.h"
#include "log_capture.h"
#include "runtime_fixture.h"
#include "service/service_main.h"

namespace qel::service {
namespace {

using namespace std::chrono_literals;
using async::Notify;
using async::oneshot::Sender;

class ServiceMain : public test::RuntimeTest {
  protected:
    void SetUp() override { test::clear_captured_events(); }
    std::shared_ptr<Notify> shutdown = Notify::create();
    // Counted on the runtime's thread; read after `reported` fired or the service main ended.
    int reports = 0;
    std::shared_ptr<async::Trigger> reported = async::Trigger::create();
    ReportRunning report_ok = [this]() -> Result<void> {
        ++reports;
        reported->fire();
        return {};
    };
};

// Coroutines here are free functions with by-value parameters: a capturing lambda coroutine
// would read its captures from a closure that is gone once the task runs.
asio::awaitable<void> fake_loop(bool send_ready, std::optional<Sender> ready,
                                std::shared_ptr<Notify> shutdown,
                                std::shared_ptr<async::Trigger> ended) {
    auto stop = shutdown->arm();
    if (send_ready)
        ready->send();
    ready.reset();
    co_await stop.wait();
    if (ended)
        ended->fire();
}

// An agent loop that sends ready (or not), waits for the shutdown, then fires `ended`.
AgentLoop loop_that(bool send_ready, std::shared_ptr<async::Trigger> ended = nullptr) {
    return
        [send_ready, ended](std::optional<Sender> ready, std::shared_ptr<Notify> shutdown, bool) {
            return fake_loop(send_ready, std::move(ready), std::move(shutdown), ended);
        };
}

asio::awaitable<void> expect_ok_after(asio::awaitable<Result<void>> main,
                                      std::shared_ptr<async::Trigger> loop_ended) {
    Result<void> r = co_await std::move(main);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(loop_ended->fired()) << "the service main returned before the agent loop";
}

TEST_F(ServiceMain, ReadyReportsRunningAndWaitsForTheAgentLoop) {
    auto [tx, rx] = async::oneshot::channel();
    auto loop_ended = async::Trigger::create();
    auto main =
        async::spawn(io(), expect_ok_after(run_service_main(shutdown, std::move(tx), std::move(rx),
                                                            report_ok, loop_that(true, loop_ended)),
                                           loop_ended));
    ASSERT_TRUE(run(test::completes_within(*reported, 30s)));
    EXPECT_EQ(reports, 1);
    EXPECT_TRUE(test::has_event("INFO", "ipc pipe ready, flipping SCM to RUNNING"));
    shutdown->notify_waiters();  // the Stop control
    EXPECT_EQ(run(main.join()), async::JoinOutcome::finished);
    EXPECT_EQ(reports, 1);
}

asio::awaitable<void> keep_sender_unsent(std::optional<Sender> ready,
                                         std::shared_ptr<Notify> shutdown) {
    auto stop = shutdown->arm();
    co_await stop.wait();
    EXPECT_FALSE(ready->send());  // the receiver went with the time-out
}

asio::awaitable<void> send_then_throw(std::optional<Sender> ready) {
    ready->send();
    throw std::logic_error("bug");
    co_return;
}

TEST_F(ServiceMain, SenderReleasedWithoutSignalFiresShutdown) {
    auto [tx, rx] = async::oneshot::channel();
    Result<void> r =
        run(run_service_main(shutdown, std::move(tx), std::move(rx), report_ok, loop_that(false)));
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(reports, 0);
    EXPECT_TRUE(test::has_event("ERROR", "ipc loop exited before pipe was ready"));
}

TEST_F(ServiceMain, NoReadyWithinTheTimeoutFiresShutdown) {
    auto [tx, rx] = async::oneshot::channel();
    // This loop keeps the sender and never sends.
    AgentLoop silent = [](std::optional<Sender> ready, std::shared_ptr<Notify> shutdown, bool) {
        return keep_sender_unsent(std::move(ready), std::move(shutdown));
    };
    Result<void> r =
        run(run_service_main(shutdown, std::move(tx), std::move(rx), report_ok, silent, 250ms));
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(reports, 0);
    EXPECT_TRUE(test::has_event(
        "ERROR", "ipc pipe did not become ready within 250ms; aborting service start"));
}

TEST_F(ServiceMain, FailedRunningReportReturnsAtOnceWithoutShutdown) {
    auto [tx, rx] = async::oneshot::channel();
    ReportRunning failing = [] { return Result<void>(Error("IO error in winapi call")); };
    auto stop = shutdown->arm();
    Result<void> r =
        run(run_service_main(shutdown, std::move(tx), std::move(rx), failing, loop_that(true)));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().full(), "IO error in winapi call");
    EXPECT_FALSE(stop.fired());
    shutdown->notify_waiters();  // let the abandoned agent loop end
}

TEST_F(ServiceMain, PanickedAgentLoopIsAJoinError) {
    auto [tx, rx] = async::oneshot::channel();
    AgentLoop panics = [](std::optional<Sender> ready, std::shared_ptr<Notify>, bool) {
        return send_then_throw(std::move(ready));
    };
    Result<void> r =
        run(run_service_main(shutdown, std::move(tx), std::move(rx), report_ok, panics));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().full(), "agent_loop join error: task panicked");
}

TEST(DurationDebug, Forms) {
    EXPECT_EQ(duration_debug(15000ms), "15s");
    EXPECT_EQ(duration_debug(1500ms), "1.5s");
    EXPECT_EQ(duration_debug(250ms), "250ms");
}

}  // namespace
}  // namespace qel::service
