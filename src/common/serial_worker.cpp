#include "common/serial_worker.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/os_error.h"

namespace qel {

namespace detail {

struct WorkerJob {
    std::function<void()> body;
    std::function<void()> on_late;
    enum class Stage { queued, running, finished } stage = Stage::queued;
    bool caller_gone = false;
    std::function<void()> cancel;  // the innermost Interruption's, while one lasts
};

struct WorkerState {
    std::mutex m;
    std::condition_variable work;     // the thread waits for a job, or for the end
    std::condition_variable changed;  // callers wait for their job's stage, or a scope's end
    std::deque<std::shared_ptr<WorkerJob>> queue;
    bool thread_started = false;
    bool closed = false;
};

}  // namespace detail

namespace {

using detail::WorkerJob;
using detail::WorkerState;
using Stage = WorkerJob::Stage;
using Clock = std::chrono::steady_clock;

// How long a caller waits for an interrupted call to end before it cancels again.
constexpr std::chrono::milliseconds kInterruptPause{5};

// The job that runs on this thread, for Interruption.
struct Current {
    WorkerState* state = nullptr;
    WorkerJob* job = nullptr;
};
thread_local Current t_current;

void serve(std::shared_ptr<WorkerState> s) noexcept {
    std::unique_lock lock(s->m);
    for (;;) {
        s->work.wait(lock, [&] { return !s->queue.empty() || s->closed; });
        if (s->queue.empty())
            return;  // the worker is gone, and no caller can be left
        std::shared_ptr<WorkerJob> job = std::move(s->queue.front());
        s->queue.pop_front();
        job->stage = Stage::running;
        lock.unlock();

        t_current = {s.get(), job.get()};
        job->body();
        t_current = {};

        lock.lock();
        job->stage = Stage::finished;
        const bool late = job->caller_gone;
        s->changed.notify_all();
        lock.unlock();
        if (late)
            job->on_late();
        job.reset();  // what the job owned goes outside the lock
        lock.lock();
    }
}

// Cancels the running job's blocking call until its scope ends, at most kInterruptRetry.
void interrupt(std::unique_lock<std::mutex>& lock, WorkerState& s, const WorkerJob& job) {
    const Clock::time_point until = Clock::now() + Interruption::kInterruptRetry;
    const auto scope_over = [&] { return !job.cancel || job.stage != Stage::running; };
    while (!scope_over()) {
        job.cancel();
        const Clock::time_point next = std::min(until, Clock::now() + kInterruptPause);
        if (s.changed.wait_until(lock, next, scope_over) || Clock::now() >= until)
            return;
    }
}

}  // namespace

SerialWorker::SerialWorker() : state_(std::make_shared<WorkerState>()) {}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(state_->m);
        state_->closed = true;
    }
    state_->work.notify_all();
}

SerialWorker::End SerialWorker::run_erased(std::function<void()> body,
                                           std::function<void()> on_late,
                                           std::chrono::milliseconds bound,
                                           std::optional<Error>& no_thread) {
    const Clock::time_point deadline = Clock::now() + bound;
    auto job = std::make_shared<WorkerJob>();
    job->body = std::move(body);
    job->on_late = std::move(on_late);
    // Declared after the job: a dropped job's captures go once the lock is released.
    std::unique_lock lock(state_->m);
    if (!state_->thread_started) {
        try {
            clear_os_error();
            std::thread(serve, state_).detach();
            state_->thread_started = true;
        } catch (const std::system_error& e) {
            no_thread = os_error_from(e);
            return End::no_thread;  // the next run tries again
        }
    }
    state_->queue.push_back(job);
    state_->work.notify_one();
    if (state_->changed.wait_until(lock, deadline, [&] { return job->stage == Stage::finished; }))
        return End::finished;
    job->caller_gone = true;
    if (job->stage == Stage::queued) {
        std::erase(state_->queue, job);
        return End::never_started;
    }
    interrupt(lock, *state_, *job);
    return End::overran;
}

Interruption::Interruption(std::function<void()> cancel)
    : state_(t_current.state), job_(t_current.job) {
    if (job_ == nullptr)
        return;
    std::lock_guard lock(state_->m);
    if (job_->caller_gone) {
        allowed_ = false;
        return;
    }
    outer_ = std::exchange(job_->cancel, std::move(cancel));
    registered_ = true;
}

Interruption::~Interruption() {
    if (!registered_)
        return;
    std::function<void()> mine;
    {
        std::lock_guard lock(state_->m);
        mine = std::exchange(job_->cancel, std::move(outer_));
    }
    state_->changed.notify_all();
}

}  // namespace qel
