// The periodic session refresh against the wtsapi32 double, with short periods. Each refresh
// is seen by its enumeration's DEBUG event, stamped when the log took it.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "auth/session_tokens.h"
#include "common/async/notify.h"
#include "common/async/task.h"
#include "common/async/trigger.h"
#include "common/win_error.h"
#include "log_capture.h"
#include "service/session_refresh.h"
#include "token_file_fixture.h"

namespace qel::service {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

asio::awaitable<void> refresh_then_fire(std::shared_ptr<async::Notify> shutdown,
                                        std::shared_ptr<auth::SessionTokens> sessions,
                                        Clock::duration period,
                                        std::shared_ptr<async::Trigger> ended) {
    co_await periodic_session_refresh(std::move(shutdown), std::move(sessions), period);
    ended->fire();
}

using Guard = std::optional<auth::SessionTokens::WriteGuard>;

asio::awaitable<void> take_write_lock(std::shared_ptr<auth::SessionTokens> sessions,
                                      std::shared_ptr<Guard> guard) {
    guard->emplace(co_await sessions->write());
}

bool is_refresh(const test::CapturedEvent& e) {
    return e.target == "qel_agent::auth" && e.message.starts_with("refresh_active_sessions: ");
}

bool is_refresh_failure(const test::CapturedEvent& e) {
    return e.level == "WARN" && e.target == "qel_agent::service" &&
           e.message.starts_with("periodic session refresh failed: ");
}

class PeriodicSessionRefresh : public test::TokenFileTest {
  protected:
    void SetUp() override {
        TokenFileTest::SetUp();
        // Session 1 (the double's only session) holds a token already: a refresh then writes
        // no file, and it waits for nothing but the read lock of `sessions`.
        run(take_write_lock(sessions, held));
        (**held)->insert_or_assign(1u, std::string(64, 'a'));
        held->reset();
    }
    void TearDown() override {
        held->reset();
        if (ended_ && !ended_->fired()) {
            EXPECT_TRUE(ends_on_shutdown());
        }
        TokenFileTest::TearDown();
    }

    void start(Clock::duration period) {
        ended_ = async::Trigger::create();
        started_at = Clock::now();
        async::spawn(io(), refresh_then_fire(shutdown, sessions, period, ended_));
    }

    // Fires the shutdown until the task has ended: a firing while a refresh runs is not seen.
    bool ends_on_shutdown() {
        for (int i = 0; i < 300; ++i) {
            shutdown->notify_waiters();
            if (run(test::completes_within(*ended_, 100ms)))
                return true;
        }
        return false;
    }

    // When the first n events that pass `pick` were logged, in milliseconds since the task was
    // started (rounded down); fewer when they did not all come in time.
    std::vector<long long> first_events(bool (*pick)(const test::CapturedEvent&),
                                        std::size_t n) const {
        std::vector<long long> at;
        test::wait_for_events(
            [&](const std::vector<test::CapturedEvent>& events) {
                at.clear();
                for (const auto& e : events) {
                    if (pick(e) && at.size() < n)
                        at.push_back(
                            std::chrono::duration_cast<std::chrono::milliseconds>(e.at - started_at)
                                .count());
                }
                return at.size() == n;
            },
            30s);
        return at;
    }

    std::shared_ptr<async::Notify> shutdown = async::Notify::create();
    std::shared_ptr<auth::SessionTokens> sessions = std::make_shared<auth::SessionTokens>();
    std::shared_ptr<Guard> held = std::make_shared<Guard>();
    std::shared_ptr<async::Trigger> ended_;
    Clock::time_point started_at;
};

TEST_F(PeriodicSessionRefresh, MakesNoRefreshAtItsStartAndEndsOnShutdown) {
    start(1h);
    // Ending means it went past its start to the wait for the first period.
    ASSERT_TRUE(ends_on_shutdown());
    EXPECT_EQ(wts->calls("WTSEnumerateSessionsW"), 0);
    EXPECT_TRUE(test::captured_events().empty());
}

TEST_F(PeriodicSessionRefresh, RefreshesOnePeriodAfterItsStartAndEveryPeriodAfter) {
    constexpr long long period = 200;
    start(std::chrono::milliseconds(period));
    const auto at = first_events(is_refresh, 3);
    ASSERT_EQ(at.size(), 3u);
    for (std::size_t k = 0; k < at.size(); ++k)
        EXPECT_GE(at[k], static_cast<long long>(k + 1) * period) << "refresh " << k + 1;
    ASSERT_TRUE(ends_on_shutdown());
}

TEST_F(PeriodicSessionRefresh, TicksMissedDuringALongRefreshComeAtOnceAfterIt) {
    constexpr long long period = 500;
    run(take_write_lock(sessions, held));  // the first refresh waits for this
    start(std::chrono::milliseconds(period));
    const auto first = first_events(is_refresh, 1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_GE(first[0], period);
    // The ticks at 2 and 3 periods fall due while the first refresh waits (the task started at
    // least one period before its first refresh).
    run(test::sleep_until(started_at +
                          std::chrono::milliseconds(first[0] + 1 + 2 * period + period / 4)));
    held->reset();

    const auto at = first_events(is_refresh, 4);
    ASSERT_EQ(at.size(), 4u);
    // Their refreshes follow at once, one after another, before the tick at 4 periods is due;
    // that tick then comes on its own time, not earlier.
    EXPECT_LT(at[1], 4 * period);
    EXPECT_LT(at[2], 4 * period);
    EXPECT_GE(at[3], 4 * period);
    ASSERT_TRUE(ends_on_shutdown());
}

TEST_F(PeriodicSessionRefresh, AFailedRefreshIsWarnedAboutAndTheNextTickTriesAgain) {
    ASSERT_TRUE(wts->set_enum_fail(L"5"));
    start(100ms);
    ASSERT_EQ(first_events(is_refresh_failure, 2).size(), 2u);
    const std::string expected = "periodic session refresh failed: WTSEnumerateSessions failed: " +
                                 win::hresult_text(win::hresult_from_win32(5));
    for (const auto& e : test::captured_events()) {
        if (is_refresh_failure(e)) {
            EXPECT_EQ(e.message, expected);
        }
    }
    // The enumeration works again: the next tick's refresh succeeds.
    ASSERT_TRUE(wts->set_enum_fail(nullptr));
    ASSERT_EQ(first_events(is_refresh, 1).size(), 1u);
    ASSERT_TRUE(ends_on_shutdown());
}

}  // namespace
}  // namespace qel::service
