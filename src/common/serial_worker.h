#pragma once
// A thread of its own that runs jobs one at a time, in the order they came, for callers that
// each wait for their own job at most a bound. A job may wait on something that never ends
// (another process's hold on a file); its caller still gets an answer in time, and whatever
// the job holds up is only the worker's own thread, never the caller's.
//
// The thread is started by the first run and never joined: it shares its state with the
// worker, so that the worker may go away while a job that overran still runs. It ends once
// the worker is gone and nothing runs on it.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/error.h"

namespace qel {

namespace detail {
struct WorkerState;
struct WorkerJob;
}  // namespace detail

class SerialWorker {
  public:
    // How a run ended for its caller.
    enum class End {
        finished,       // the job ran; here is what it produced
        never_started,  // the bound passed while jobs before it ran; it will never run
        overran,        // the bound passed while it ran: it goes on, and `late` gets its product
        no_thread,      // the worker's thread could not be started; nothing ran
    };

    template <class T>
    struct Outcome {
        End end = End::finished;
        std::optional<T> value;          // finished
        std::optional<Error> no_thread;  // why the thread could not be started
    };

    SerialWorker();
    // The thread ends by itself once the job it runs, if one does, has ended.
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Queues `job` behind the jobs before it and waits until it has run, at most `bound` from
    // this call (the time in the queue counts). A job whose caller stops waiting before it
    // started is dropped. One that runs when its caller stops waiting is interrupted (see
    // Interruption) and goes on; when it ends, `late` gets what it produced, on the worker's
    // thread. The job and `late` own what they use (the caller may be gone when they run) and
    // must not throw: they run where an exception would end the process.
    template <class F>
    Outcome<std::invoke_result_t<F&>> run(F job, std::chrono::milliseconds bound,
                                          std::function<void(std::invoke_result_t<F&>)> late = {}) {
        using T = std::invoke_result_t<F&>;
        // Shared: the caller reads it once the job has finished, `late` once it has not.
        auto product = std::make_shared<std::optional<T>>();
        Outcome<T> out;
        out.end = run_erased([job = std::move(job), product]() mutable { product->emplace(job()); },
                             [late = std::move(late), product] {
                                 if (late)
                                     late(std::move(**product));
                             },
                             bound, out.no_thread);
        if (out.end == End::finished)
            out.value = std::move(*product);
        return out;
    }

  private:
    End run_erased(std::function<void()> body, std::function<void()> on_late,
                   std::chrono::milliseconds bound, std::optional<Error>& no_thread);

    std::shared_ptr<detail::WorkerState> state_;
};

// Inside a job on a SerialWorker, around one blocking call that `cancel` can end (on Windows,
// CancelSynchronousIo on the job's thread). When the job's caller stops waiting, it calls
// `cancel`, and again for a short while (kInterruptRetry) as long as this scope lasts: a cancel
// that comes just before the call starts to wait finds nothing to end. `cancel` runs on the
// caller's thread under the worker's lock, so it must neither block nor use the worker; this
// scope's end waits for a call in progress, so `cancel` may use what outlives the scope.
//
// A scope entered after the caller stopped waiting is refused: the call is to be skipped, as
// aborted. Outside a worker's job a scope registers nothing and is allowed.
class Interruption {
  public:
    // How long a caller that stopped waiting goes on cancelling a call that has not ended.
    static constexpr std::chrono::milliseconds kInterruptRetry{100};

    explicit Interruption(std::function<void()> cancel);
    ~Interruption();
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    // False when the job's caller has stopped waiting: the call must not be made.
    bool allowed() const { return allowed_; }

  private:
    detail::WorkerState* state_ = nullptr;
    detail::WorkerJob* job_ = nullptr;
    std::function<void()> outer_;  // an enclosing scope's cancel, back in force at the end
    bool registered_ = false;
    bool allowed_ = true;
};

}  // namespace qel
