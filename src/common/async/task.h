#pragma once
// Spawned tasks. Each runs on a strand of its own, so a task never runs on two threads at
// once and the cancellation of one of its waits is delivered on the thread that runs it.
//
// Abort is cooperative: an abortable task runs as `abort || task`, so firing the abort
// cancels the task's pending wait through asio's parallel group, which owns the cancellation
// signals for as long as the task's frame exists.

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include <asio/co_spawn.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "common/async/exception_text.h"
#include "common/async/trigger.h"
#include "common/log.h"

namespace qel::async {

enum class JoinOutcome { finished, cancelled, panicked };

// The runtime's description of a task that did not finish normally.
inline const char* describe(JoinOutcome o) {
    switch (o) {
        case JoinOutcome::finished:
            return "task finished";
        case JoinOutcome::cancelled:
            return "task was cancelled";
        case JoinOutcome::panicked:
            return "task panicked";
    }
    return "task failed";
}

namespace detail {
struct TaskState {
    std::shared_ptr<Trigger> abort = Trigger::create();
    std::shared_ptr<Trigger> done = Trigger::create();
    std::mutex m;
    std::optional<JoinOutcome> outcome;

    void finish(JoinOutcome o) {
        {
            std::lock_guard lock(m);
            if (!outcome)
                outcome = o;
        }
        done->fire();
    }
};

inline JoinOutcome classify(std::exception_ptr e) {
    if (!e)
        return JoinOutcome::finished;
    return is_cancellation(e) ? JoinOutcome::cancelled : JoinOutcome::panicked;
}

// asio's `||` waits for the first branch that succeeds: a branch that throws neither wins nor
// cancels the other. The task's exception is therefore turned into a value first.
inline asio::awaitable<std::exception_ptr> catching(asio::awaitable<void> task) {
    try {
        co_await std::move(task);
    } catch (...) {
        co_return std::current_exception();
    }
    co_return nullptr;
}

inline asio::awaitable<void> abortable(std::shared_ptr<TaskState> st, asio::awaitable<void> task) {
    using namespace asio::experimental::awaitable_operators;
    auto won = co_await (st->abort->wait() || catching(std::move(task)));
    st->finish(won.index() == 0 ? JoinOutcome::cancelled : classify(std::get<1>(won)));
}
}  // namespace detail

class JoinHandle {
  public:
    explicit JoinHandle(std::shared_ptr<detail::TaskState> st) : st_(std::move(st)) {}

    // Asks the task to stop: its pending wait is cancelled, and it ends at its next one.
    void abort() { st_->abort->fire(); }

    asio::awaitable<JoinOutcome> join() {
        auto st = st_;
        co_await st->done->wait(/*cancellable=*/false);
        std::lock_guard lock(st->m);
        co_return *st->outcome;
    }

  private:
    std::shared_ptr<detail::TaskState> st_;
};

// A task that can be aborted and joined.
inline JoinHandle spawn(asio::io_context& io, asio::awaitable<void> task) {
    auto st = std::make_shared<detail::TaskState>();
    asio::co_spawn(asio::make_strand(io), detail::abortable(st, std::move(task)),
                   [st](std::exception_ptr e) { st->finish(detail::classify(e)); });
    return JoinHandle(std::move(st));
}

// A task that nothing waits for; it ends on its own. An exception that ends it is logged
// under `target`, the spawning module's, since nobody else will see it.
inline void spawn_detached(asio::io_context& io, log::Target target, asio::awaitable<void> task) {
    asio::co_spawn(asio::make_strand(io), std::move(task), [target](std::exception_ptr e) {
        if (!e)
            return;
        try {
            log::error(target, "detached task failed: {}", exception_text(e));
        } catch (...) {
            // Nothing is left to tell; above all the worker thread must not end with it.
        }
    });
}

// The io_context behind the executor of the running coroutine.
inline asio::awaitable<asio::io_context*> current_io() {
    auto ex = co_await asio::this_coro::executor;
    co_return &static_cast<asio::io_context&>(asio::query(ex, asio::execution::context));
}

}  // namespace qel::async
