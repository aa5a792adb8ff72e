#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <asio/experimental/awaitable_operators.hpp>

#include "common/async/blocking.h"
#include "common/async/interval.h"
#include "common/async/mutex.h"
#include "common/async/notify.h"
#include "common/async/oneshot.h"
#include "common/async/rw_lock.h"
#include "common/async/task.h"
#include "common/log.h"
#include "log_capture.h"
#include "runtime_fixture.h"

namespace qel::async {
namespace {

using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
using test::completes_within;
using test::sleep_for;

class Async : public test::RuntimeTest {};

TEST_F(Async, WakeAllBeforeArmingIsNotSeen) {
    auto n = Notify::create();
    n->notify_waiters();
    auto w = n->arm();
    EXPECT_FALSE(w.fired());
    EXPECT_FALSE(run(completes_within(w, 50ms)));
}

TEST_F(Async, WakeAllAfterArmingButBeforeAwaitingIsSeen) {
    auto n = Notify::create();
    auto w = n->arm();
    n->notify_waiters();
    EXPECT_TRUE(w.fired());
    EXPECT_TRUE(run(completes_within(w, 5000ms)));
}

TEST_F(Async, WakeAllReachesEveryArmedWaitFromAnotherThread) {
    auto n = Notify::create();
    std::atomic<int> woken{0};
    std::vector<JoinHandle> tasks;
    auto armed = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < 8; ++i) {
        auto w = std::make_shared<Notify::Wait>(n->arm());
        tasks.push_back(spawn(
            io(),
            [](std::shared_ptr<Notify::Wait> w, std::atomic<int>& woken) -> asio::awaitable<void> {
                co_await w->wait();
                ++woken;
            }(w, woken)));
    }
    std::thread outside([n] { n->notify_waiters(); });
    outside.join();
    for (auto& t : tasks)
        EXPECT_EQ(run(t.join()), JoinOutcome::finished);
    EXPECT_EQ(woken, 8);
}

TEST_F(Async, ReleasedWaitIsForgotten) {
    auto n = Notify::create();
    { auto w = n->arm(); }
    auto kept = n->arm();
    n->notify_waiters();
    EXPECT_TRUE(kept.fired());
}

TEST_F(Async, OneShotOutcomes) {
    {
        auto [tx, rx] = oneshot::channel();
        EXPECT_TRUE(tx.send());
        EXPECT_EQ(run(rx.recv()), oneshot::Outcome::sent);
    }
    {
        auto [tx, rx] = oneshot::channel();
        { auto gone = std::move(tx); }
        EXPECT_EQ(run(rx.recv()), oneshot::Outcome::closed);
    }
    {
        auto [tx, rx] = oneshot::channel();
        { auto gone = std::move(rx); }
        EXPECT_FALSE(tx.send());
    }
}

TEST_F(Async, MutexGrantsInArrivalOrder) {
    auto m = std::make_shared<Mutex<std::vector<int>>>();
    auto first = m->try_lock();
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(m->try_lock().has_value());

    std::vector<JoinHandle> tasks;
    for (int i = 0; i < 5; ++i) {
        tasks.push_back(spawn(io(), [](auto m, int i) -> asio::awaitable<void> {
            auto g = co_await m->lock();
            g->push_back(i);
        }(m, i)));
        // Each waiter is queued before the next one asks.
        run(sleep_for(20ms));
    }
    first.reset();
    for (auto& t : tasks)
        run(t.join());
    auto g = m->try_lock();
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(**g, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(Async, RwLockReadersShareAndQueueBehindAWriter) {
    auto l = std::make_shared<RwLock<int>>(0);
    std::mutex order_m;
    std::vector<std::string> order;
    auto note = [&](std::string s) {
        std::lock_guard lock(order_m);
        order.push_back(std::move(s));
    };

    auto r1 = std::make_shared<std::optional<RwLock<int>::ReadGuard>>();
    auto r2 = std::make_shared<std::optional<RwLock<int>::ReadGuard>>();
    run([](auto l, auto r1, auto r2) -> asio::awaitable<void> {
        r1->emplace(co_await l->read());
        r2->emplace(co_await l->read());  // readers share
    }(l, r1, r2));

    auto writer = spawn(io(), [](auto l, auto note) -> asio::awaitable<void> {
        auto w = co_await l->write();
        *w = 42;
        note("writer");
    }(l, note));
    run(sleep_for(20ms));
    auto late_reader = spawn(io(), [](auto l, auto note) -> asio::awaitable<void> {
        auto r = co_await l->read();
        note("reader saw " + std::to_string(*r));
    }(l, note));
    run(sleep_for(20ms));
    EXPECT_TRUE(order.empty());  // the writer waits for both readers, the late reader for it

    r1->reset();
    r2->reset();
    run(writer.join());
    run(late_reader.join());
    EXPECT_EQ(order, (std::vector<std::string>{"writer", "reader saw 42"}));
}

TEST_F(Async, JoinReportsHowTheTaskEnded) {
    auto n = Notify::create();
    auto waiting = spawn(io(), [](auto n) -> asio::awaitable<void> {
        auto w = n->arm();
        co_await w.wait();
    }(n));
    auto finishing = spawn(io(), []() -> asio::awaitable<void> { co_return; }());
    auto throwing = spawn(io(), []() -> asio::awaitable<void> {
        throw std::runtime_error("boom");
        co_return;
    }());

    EXPECT_EQ(run(finishing.join()), JoinOutcome::finished);
    EXPECT_EQ(run(throwing.join()), JoinOutcome::panicked);
    waiting.abort();
    EXPECT_EQ(run(waiting.join()), JoinOutcome::cancelled);
}

asio::awaitable<void> throw_runtime_error() {
    throw std::runtime_error("pump broke");
    co_return;
}
asio::awaitable<void> throw_int() {
    throw 42;
    co_return;
}
asio::awaitable<void> finish() {
    co_return;
}

TEST_F(Async, ADetachedTaskThatThrowsIsLoggedUnderTheSpawningModule) {
    struct Case {
        asio::awaitable<void> (*task)();
        log::Target target;
        const char* target_name;
        const char* message;
    };
    const Case cases[] = {
        {throw_runtime_error, log::Target::sandbox_lifecycle, "qel_agent::sandbox::lifecycle",
         "detached task failed: pump broke"},
        {throw_int, log::Target::ipc, "qel_agent::ipc", "detached task failed: unknown exception"},
    };
    test::clear_captured_events();
    spawn_detached(io(), log::Target::service, finish());
    for (const Case& c : cases)
        spawn_detached(io(), c.target, c.task());

    auto failures = [] {
        std::vector<test::CapturedEvent> out;
        for (auto& e : test::captured_events()) {
            if (e.message.rfind("detached task failed", 0) == 0)
                out.push_back(e);
        }
        return out;
    };
    for (int i = 0; i < 500 && failures().size() < std::size(cases); ++i)
        std::this_thread::sleep_for(10ms);
    const auto logged = failures();
    ASSERT_EQ(logged.size(), std::size(cases));  // and none for the task that finished
    for (const Case& c : cases) {
        bool found = false;
        for (const auto& e : logged)
            found = found ||
                    (e.level == "ERROR" && e.target == c.target_name && e.message == c.message);
        EXPECT_TRUE(found) << c.message;
    }
}

constexpr auto kPoolLog = log::Target::service;

asio::awaitable<Result<std::string>> blocking_concat_once(std::string a, std::string b) {
    const auto join = [a, b] { return Result<std::string>(a + b); };
    co_return co_await run_blocking(kPoolLog, join);
}

TEST_F(Async, BlockingWorkResumesTheCaller) {
    const auto caller = std::this_thread::get_id();
    auto worker = run([]() -> asio::awaitable<Result<std::thread::id>> {
        co_return co_await run_blocking(
            kPoolLog, [] { return Result<std::thread::id>(std::this_thread::get_id()); });
    }());
    ASSERT_TRUE(worker.ok());
    EXPECT_NE(worker.value(), caller);
}

asio::awaitable<Result<int>> blocking_throw(bool std_exception) {
    const auto work = [std_exception]() -> Result<int> {
        if (std_exception)
            throw std::runtime_error("disk on fire");
        throw 7;
    };
    co_return co_await run_blocking(log::Target::sandbox_lifecycle, work);
}

// Without the catch, the exception would leave a pool thread and end the process.
TEST_F(Async, BlockingWorkThatThrowsIsLoggedAndBecomesTheCallsError) {
    struct Case {
        bool std_exception;
        const char* message;
    } const cases[] = {
        {true, "blocking task failed: disk on fire"},
        {false, "blocking task failed: unknown exception"},
    };
    for (const Case& c : cases) {
        test::clear_captured_events();
        Result<int> r = run(blocking_throw(c.std_exception));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().full(), "background task failed");
        const auto events = test::captured_events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].level, "ERROR");
        EXPECT_EQ(events[0].target, "qel_agent::sandbox::lifecycle");
        EXPECT_EQ(events[0].message, c.message);
    }
    // The pool still works afterwards.
    Result<std::string> after = run(blocking_concat_once("still", " here"));
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.value(), "still here");
}

asio::awaitable<Result<std::string>> blocking_concat(std::string a, std::string b) {
    // Named before being awaited: GCC 12 destroys a lambda inside a co_await expression twice.
    const auto exclaim = [a] { return Result<std::string>(a + "!"); };
    Result<std::string> first = co_await run_blocking(kPoolLog, exclaim);
    const auto append = [&first, b] { return Result<std::string>(first.value() + b); };
    Result<std::string> second = co_await run_blocking(kPoolLog, append);
    co_return second;
}

TEST_F(Async, BlockingWorkCarriesOwningResults) {
    const std::string big(1000, 'x');  // beyond the small-string buffer
    Result<std::string> r = run(blocking_concat(big, big));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), big + "!" + big);
}

// Blocking work that waits for the rest of a group: it all runs only when the pool gives each
// piece a thread of its own.
struct Group {
    explicit Group(std::size_t n) : size(n) {}
    bool meet() {
        std::unique_lock lock(m);
        ++arrived;
        cv.notify_all();
        return cv.wait_for(lock, 10s, [this] { return arrived == size; });
    }
    const std::size_t size;
    std::mutex m;
    std::condition_variable cv;
    std::size_t arrived = 0;
    std::atomic<int> met{0};
};

asio::awaitable<void> join_group(std::shared_ptr<Group> g) {
    const auto meet = [g] { return Result<bool>(g->meet()); };
    if (Result<bool> met = co_await run_blocking(kPoolLog, meet); met.ok() && met.value())
        ++g->met;
}

TEST_F(Async, BlockingWorkGetsAThreadEachUpToThePoolSize) {
    auto group = std::make_shared<Group>(BlockingPool::kThreads);
    std::vector<JoinHandle> members;
    for (std::size_t i = 0; i < group->size; ++i)
        members.push_back(spawn(io(), join_group(group)));
    for (auto& m : members)
        EXPECT_EQ(run(m.join()), JoinOutcome::finished);
    EXPECT_EQ(group->met.load(), static_cast<int>(BlockingPool::kThreads));
}

asio::awaitable<void> interval_bursts_missed_ticks() {
    using clock = Interval::clock;
    constexpr clock::duration period = 100ms;
    // The ticks fall due at start + k * period, start lying between these two looks.
    const clock::time_point before = clock::now();
    Interval iv(co_await asio::this_coro::executor, period);
    const clock::time_point after = clock::now();
    // Whether the next tick is due, asserted only where the clock settles it: "not due" needs
    // the look to come before the grid point, however slow the machine is.
    const auto not_due_before = [&iv](clock::time_point grid_point, const char* which) {
        const bool due = iv.due();
        if (clock::now() < grid_point) {
            EXPECT_FALSE(due) << which;
        }
    };

    EXPECT_TRUE(iv.due());  // the first tick is due at once
    co_await iv.tick();
    not_due_before(before + period, "the second tick, before one period has passed");

    // Ticks 1, 2 and 3 have fallen due meanwhile; each completes at once, one after another.
    co_await test::sleep_until(after + 3 * period + period / 2);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_TRUE(iv.due()) << "missed tick " << i;
        co_await iv.tick();
    }
    // The late ticks did not move the grid: the next is due at start + 4 periods, not earlier
    // and not one period after the burst.
    not_due_before(before + 4 * period, "tick 4, before its grid point");
    co_await test::sleep_until(after + 4 * period);
    EXPECT_TRUE(iv.due()) << "tick 4, once its grid point has passed";
    co_await iv.tick();
    EXPECT_GE(clock::now(), before + 4 * period);
}

TEST_F(Async, IntervalBurstsMissedTicks) {
    run(interval_bursts_missed_ticks());
}

}  // namespace
}  // namespace qel::async
