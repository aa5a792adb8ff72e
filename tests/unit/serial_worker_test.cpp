// The worker that runs the data-folder claims: one job at a time, and no caller waits longer
// than its bound, whatever its job or the jobs before it wait for.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/async/blocking.h"
#include "common/async/runtime.h"
#include "common/async/task.h"
#include "common/serial_worker.h"
#include "gate.h"

namespace qel {
namespace {

using namespace std::chrono_literals;
using test::Gate;
using test::Handover;
using Clock = std::chrono::steady_clock;
using End = SerialWorker::End;

constexpr std::chrono::milliseconds kBound = 200ms;  // the claims' callers wait 5 s
// A wait that would hang fails instead.
constexpr std::chrono::milliseconds kGenerous = 10s;

TEST(SerialWorker, RunsOneJobAtATimeOnAThreadOfItsOwn) {
    SerialWorker worker;
    const auto where = worker.run([] { return std::this_thread::get_id(); }, kGenerous);
    ASSERT_EQ(where.end, End::finished);
    EXPECT_NE(where.value, std::this_thread::get_id());

    auto running = std::make_shared<std::atomic<int>>(0);
    auto most = std::make_shared<std::atomic<int>>(0);
    std::vector<std::future<int>> callers;
    for (int i = 0; i < 8; ++i) {
        callers.push_back(std::async(std::launch::async, [&worker, running, most, i] {
            int answered = 0;
            for (int n = 0; n < 10; ++n) {
                const auto out = worker.run(
                    [running, most, i] {
                        const int now = ++*running;
                        int seen = most->load();
                        while (now > seen && !most->compare_exchange_weak(seen, now)) {
                        }
                        std::this_thread::sleep_for(1ms);
                        --*running;
                        return i;
                    },
                    kGenerous);
                if (out.end == End::finished && out.value == i)
                    ++answered;
            }
            return answered;
        }));
    }
    for (auto& c : callers)
        EXPECT_EQ(c.get(), 10);
    EXPECT_EQ(most->load(), 1);
}

TEST(SerialWorker, ACallerQueuedBehindABlockedJobGivesUpAtItsBoundAndItsJobNeverRuns) {
    SerialWorker worker;
    auto gate = Gate::create();
    auto first = std::async(std::launch::async, [&worker, gate] {
        return worker.run(
            [gate] {
                gate->pass();
                return 1;
            },
            kGenerous);
    });
    ASSERT_TRUE(gate->reached_within(kGenerous));

    auto ran = std::make_shared<std::atomic<bool>>(false);
    const Clock::time_point start = Clock::now();
    const auto second = worker.run(
        [ran] {
            *ran = true;
            return 2;
        },
        kBound);
    const Clock::duration waited = Clock::now() - start;
    EXPECT_EQ(second.end, End::never_started);
    EXPECT_FALSE(second.value);
    EXPECT_GE(waited, kBound);
    EXPECT_LT(waited, kGenerous);

    gate->open();
    const auto first_out = first.get();
    EXPECT_EQ(first_out.end, End::finished);
    EXPECT_EQ(first_out.value, 1);
    // Had the second job stayed in the queue, it would run before this one.
    EXPECT_EQ(worker.run([] { return 3; }, kGenerous).value, 3);
    EXPECT_FALSE(*ran);
}

TEST(SerialWorker, AJobThatOutlastsItsCallerGoesOnAndHandsWhatItMadeToLate) {
    SerialWorker worker;
    auto gate = Gate::create();
    using Made = std::pair<std::string, std::thread::id>;
    auto late = std::make_shared<Handover<Made>>();
    const Clock::time_point start = Clock::now();
    const auto out = worker.run(
        [gate] {
            gate->pass();
            return std::string("made after its caller left");
        },
        kBound,
        [late](std::string made) {
            late->put({std::move(made), std::this_thread::get_id()});
        });
    const Clock::duration waited = Clock::now() - start;
    EXPECT_EQ(out.end, End::overran);
    EXPECT_FALSE(out.value);
    EXPECT_GE(waited, kBound);
    EXPECT_LT(waited, kGenerous);
    EXPECT_FALSE(late->arrived());

    gate->open();
    ASSERT_TRUE(late->arrived_within(kGenerous));
    EXPECT_EQ(late->value().first, "made after its caller left");
    EXPECT_NE(late->value().second, std::this_thread::get_id());

    // A job that ends in time is its caller's alone.
    auto told_late = std::make_shared<std::atomic<bool>>(false);
    const auto in_time = worker.run([] { return std::string("in time"); }, kGenerous,
                                    [told_late](std::string) { *told_late = true; });
    EXPECT_EQ(in_time.value, "in time");
    EXPECT_FALSE(*told_late);
}

// What a blocked step sees of its caller giving up: its cancel function, called until the
// step's scope ends, and never after.
TEST(SerialWorker, ACallerThatGivesUpCancelsTheBlockedStepWhileItsScopeLasts) {
    struct Case {
        const char* what;
        int ends_wait_at;  // the cancel that ends the step's wait
    } const cases[] = {
        {"the first cancel ends the wait", 1},
        {"cancels that came before the wait began are lost; a later one ends it", 3},
        {"no cancel ends the wait: the caller still returns", INT_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SerialWorker worker;
        auto gate = Gate::create();
        auto cancels = std::make_shared<std::atomic<int>>(0);
        auto scope_over = std::make_shared<std::atomic<bool>>(false);
        auto cancelled_after_scope = std::make_shared<std::atomic<bool>>(false);
        auto late = std::make_shared<Handover<bool>>();
        const Clock::time_point start = Clock::now();
        const auto out = worker.run(
            [=, ends_at = c.ends_wait_at] {
                {
                    const Interruption scope([=] {
                        if (*scope_over)
                            *cancelled_after_scope = true;
                        if (++*cancels >= ends_at)
                            gate->open();
                    });
                    if (!scope.allowed())
                        return false;
                    gate->pass();
                }
                *scope_over = true;
                return true;
            },
            kBound, [late](bool passed) { late->put(passed); });
        EXPECT_EQ(out.end, End::overran);
        EXPECT_LT(Clock::now() - start, kGenerous);

        if (c.ends_wait_at == INT_MAX) {
            EXPECT_GE(cancels->load(), 1);
            EXPECT_FALSE(late->arrived());
            gate->open();
        }
        ASSERT_TRUE(late->arrived_within(kGenerous));
        EXPECT_TRUE(late->value());
        if (c.ends_wait_at != INT_MAX) {
            EXPECT_GE(cancels->load(), c.ends_wait_at);
        }
        EXPECT_FALSE(*cancelled_after_scope);
    }
}

TEST(SerialWorker, AScopeEnteredAfterTheCallerGaveUpIsRefused) {
    EXPECT_TRUE(Interruption([] {}).allowed()) << "outside a job, nothing refuses";

    SerialWorker worker;
    auto gate = Gate::create();
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto late = std::make_shared<Handover<bool>>();
    const auto out = worker.run(
        [gate, cancelled] {
            gate->pass();  // its caller gives up meanwhile
            const Interruption scope([cancelled] { *cancelled = true; });
            return scope.allowed();
        },
        kBound, [late](bool allowed) { late->put(allowed); });
    EXPECT_EQ(out.end, End::overran);
    gate->open();
    ASSERT_TRUE(late->arrived_within(kGenerous));
    EXPECT_FALSE(late->value());
    EXPECT_FALSE(*cancelled);

    // The next job's caller still waits: its scope is allowed.
    EXPECT_EQ(worker.run([] { return Interruption([] {}).allowed(); }, kGenerous).value, true);
}

// A task on the runtime awaits a job on the blocking pool, as the agent awaits a claim.
asio::awaitable<void> await_blocked_job(SerialWorker* worker, std::shared_ptr<Gate> gate,
                                        std::shared_ptr<Handover<bool>> ended) {
    const auto wait = [worker, gate, ended] {
        const auto out = worker->run(
            [gate] {
                gate->pass();
                return true;
            },
            kBound, [ended](bool) { ended->put(true); });
        return Result<bool>(out.end == End::finished);
    };
    co_await async::run_blocking(log::Target::service, wait);
}

TEST(SerialWorker, TheRuntimeTearsDownWhileAJobItsTaskAwaitedIsStillBlocked) {
    auto worker = std::make_unique<SerialWorker>();
    auto gate = Gate::create();
    auto ended = std::make_shared<Handover<bool>>();
    std::unique_ptr<async::Runtime> rt = std::move(async::Runtime::build(2).value());
    async::spawn_detached(rt->io(), log::Target::service,
                          await_blocked_job(worker.get(), gate, ended));
    ASSERT_TRUE(gate->reached_within(kGenerous));

    auto teardown = std::async(std::launch::async, [rt = std::move(rt)]() mutable { rt.reset(); });
    const bool torn_down = teardown.wait_for(kGenerous) == std::future_status::ready;
    const bool job_still_blocked = !ended->arrived();
    // The worker goes first, the job after it: neither may take the other along.
    worker.reset();
    gate->open();
    EXPECT_TRUE(torn_down);
    EXPECT_TRUE(job_still_blocked);
    EXPECT_TRUE(ended->arrived_within(kGenerous));
}

}  // namespace
}  // namespace qel
