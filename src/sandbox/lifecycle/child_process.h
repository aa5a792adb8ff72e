#pragma once
// The sing-box process: its handle and id, terminated on release unless it has ended. It is
// created suspended, so that it can be put into its job before it runs any of its own code.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/windows/stream_handle.hpp>

#include "common/error.h"
#include "common/win/unique_handle.h"

namespace qel::sandbox {

class ExitWatch;

class ChildProcess {
  public:
    // `main_thread` is the suspended main thread, kept until resume().
    ChildProcess(win::UniqueHandle process, win::UniqueHandle main_thread, std::uint32_t pid);
    ChildProcess(ChildProcess&& o) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    // Requests termination (exit code 1) first, unless a request succeeded already or the
    // exit was collected by a wait.
    ~ChildProcess();

    std::uint32_t pid() const { return pid_; }

    // Keeps the kill-on-close job that holds the process, and closes it with the release,
    // after the process: a job per start would otherwise stay open for the agent's lifetime.
    void adopt_job(win::UniqueHandle job) { job_ = std::move(job); }

    // Lets the main thread run (ResumeThread) and closes its handle, which is of no further use.
    Result<void> resume();

    // TerminateProcess with exit code 1; a process that has already ended counts as success.
    Result<void> terminate();

    // Waits at most `timeout` for the end: the exit code, nothing while it still runs, or the
    // error of the wait. No thread is blocked meanwhile.
    asio::awaitable<Result<std::optional<std::uint32_t>>> wait_for(
        std::chrono::milliseconds timeout);

  private:
    // Released in reverse order: the exit watch, the main thread, the process, then the job.
    win::UniqueHandle job_;
    win::UniqueHandle process_;
    win::UniqueHandle main_thread_;
    std::uint32_t pid_;
    bool kill_on_release_ = true;
    bool reaped_ = false;
    std::shared_ptr<ExitWatch> watch_;
};

// A created child, still suspended, with the read ends of its standard output and error.
struct SpawnedChild {
    ChildProcess child;
    asio::windows::stream_handle out;
    asio::windows::stream_handle err;
};

// Creates `exe` with `args`, suspended: nothing of it runs before the caller resumes it, and a
// child dropped before that is terminated. Standard input is the agent's, output and error go
// to new pipes.
Result<SpawnedChild> spawn_child(asio::io_context& io, const std::wstring& exe,
                                 const std::vector<std::wstring>& args);

// The command line for CreateProcessW: the program always quoted, arguments quoted when
// they hold blanks or are empty, backslashes before quotes doubled.
std::wstring command_line(const std::wstring& exe, const std::vector<std::wstring>& args);

}  // namespace qel::sandbox
