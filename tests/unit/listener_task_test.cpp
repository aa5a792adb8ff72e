#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

#include <asio/error.hpp>

#include "common/async/task.h"
#include "log_capture.h"
#include "runtime_fixture.h"
#include "service/listener_task.h"

namespace qel::service {
namespace {

using namespace std::chrono_literals;
using async::Notify;

class ListenerTask : public test::RuntimeTest {
  protected:
    void SetUp() override { test::clear_captured_events(); }
    std::vector<std::string> errors() const {
        std::vector<std::string> out;
        for (const auto& e : test::captured_events()) {
            if (e.level == "ERROR" && e.target == "qel_agent::service")
                out.push_back(e.message);
        }
        return out;
    }
    std::shared_ptr<Notify> shutdown = Notify::create();
};

asio::awaitable<Result<void>> loop_returning(bool ok) {
    if (ok)
        co_return Result<void>();
    co_return Error("no pipe").context("cannot create initial pipe");
}

asio::awaitable<Result<void>> loop_throwing() {
    throw std::runtime_error("listener blew up");
    co_return Result<void>();
}

// An aborted wait that nobody asked for: it ends the listener like any other error.
const std::system_error kAborted(asio::error::operation_aborted);

asio::awaitable<Result<void>> loop_aborted() {
    throw kAborted;
    co_return Result<void>();
}

// Waits for the shutdown nobody fires, so that only the abort can end it.
asio::awaitable<Result<void>> loop_waiting(std::shared_ptr<Notify> never) {
    auto w = never->arm();
    co_await w.wait();
    co_return Result<void>();
}

TEST_F(ListenerTask, AFailureOrAnExceptionIsLoggedAndFiresTheShutdown) {
    struct Case {
        asio::awaitable<Result<void>> (*loop)();
        const char* message;
    } const cases[] = {
        {[] { return loop_returning(false); },
         "ipc loop failed: cannot create initial pipe: no pipe \u2014 triggering service "
         "shutdown"},
        {loop_throwing, "ipc loop failed: listener blew up \u2014 triggering service shutdown"},
        {loop_aborted, nullptr},
    };
    for (const Case& c : cases) {
        const std::string message = c.message ? c.message
                                              : std::string("ipc loop failed: ") + kAborted.what() +
                                                    " \u2014 triggering service shutdown";
        test::clear_captured_events();
        auto fired = shutdown->arm();
        async::JoinHandle task = async::spawn(io(), listener_task(c.loop(), shutdown));
        EXPECT_EQ(run(task.join()), async::JoinOutcome::finished);
        EXPECT_TRUE(fired.fired()) << message;
        EXPECT_EQ(errors(), std::vector<std::string>{message});
    }
}

TEST_F(ListenerTask, ASuccessfulEndOrTheAbortFiresNothing) {
    auto fired = shutdown->arm();
    async::JoinHandle ended = async::spawn(io(), listener_task(loop_returning(true), shutdown));
    EXPECT_EQ(run(ended.join()), async::JoinOutcome::finished);

    async::JoinHandle aborted =
        async::spawn(io(), listener_task(loop_waiting(Notify::create()), shutdown));
    run(test::sleep_for(20ms));
    aborted.abort();
    EXPECT_EQ(run(aborted.join()), async::JoinOutcome::cancelled);
    EXPECT_FALSE(fired.fired());
    EXPECT_TRUE(errors().empty());
}

}  // namespace
}  // namespace qel::service
