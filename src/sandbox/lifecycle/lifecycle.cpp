#include "sandbox/lifecycle/lifecycle.h"

#include <nlohmann/json.hpp>

#include <fmt/format.h>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>

#include "common/async/task.h"
#include "common/log.h"
#include "common/utf.h"
#include "sandbox/config/config_file.h"
#include "sandbox/config/profile_hash.h"
#include "sandbox/config/singbox_lookup.h"
#include "sandbox/lifecycle/job_object.h"
#include "sandbox/lifecycle/log_ring.h"
#include "sandbox/lifecycle/output_pump.h"

namespace qel::sandbox {
namespace {

constexpr auto kLog = log::Target::sandbox_lifecycle;

std::string exit_status(std::uint32_t code) {
    return fmt::format("ExitStatus(ExitStatus({}))", code);
}

// Waits, at most `bound`, until both streams of the run have ended.
asio::awaitable<void> wait_for_run_output(const RunOutput& run, std::chrono::milliseconds bound) {
    using namespace asio::experimental::awaitable_operators;
    auto ended = run.ended()->arm();
    if (run.all_ended())
        co_return;
    asio::steady_timer t(co_await asio::this_coro::executor, bound);
    co_await (ended.wait() || t.async_wait(asio::experimental::as_tuple(asio::use_awaitable)));
}

}  // namespace

asio::awaitable<Result<std::string>> start_sandbox(std::shared_ptr<Sandbox> sandbox,
                                                   nlohmann::json profile) {
    auto state = co_await sandbox->lock();
    if (state->child)
        co_return Error("sandbox already running");

    if (!state->singbox_exe) {
        Result<std::wstring> found = find_singbox_exe();
        if (!found)
            co_return std::move(found).error();
        state->singbox_exe = found.value();
    }
    const std::wstring exe = *state->singbox_exe;

    Result<std::wstring> cfg = co_await write_config(profile);
    if (!cfg)
        co_return std::move(cfg).error().context("write_config");
    Result<std::string> hashed = hash_profile(profile);
    if (!hashed)
        co_return std::move(hashed).error();  // before any process exists: nothing to undo
    const std::string hash = std::move(hashed).value();
    log::info(kLog, "spawning sing-box exe={} cfg={} hash={}", to_utf8_lossy(exe),
              to_utf8_lossy(cfg.value()), hash);

    asio::io_context& io = *co_await async::current_io();
    Result<SpawnedChild> spawned = spawn_child(io, exe, {L"run", L"-c", cfg.value()});
    if (!spawned)
        co_return std::move(spawned).error().context("Command::spawn(sing-box.exe)");
    // Suspended until it is in its job; every return from here on terminates it.
    ChildProcess child = std::move(spawned->child);

    if (Result<win::UniqueHandle> bound = bind_job_object(child.pid()); bound) {
        child.adopt_job(std::move(bound).value());
    } else {
        log::warn(kLog,
                  "could not bind sing-box to job-object (will fall back to kill_on_drop only): {}",
                  bound.error());
    }
    if (Result<void> resumed = child.resume(); !resumed)
        co_return std::move(resumed).error().context("Command::spawn(sing-box.exe)");

    auto run = std::make_shared<RunOutput>(2);
    start_pumps(io, sandbox, std::move(spawned->out), std::move(spawned->err), run);

    const auto started = std::chrono::steady_clock::now();
    Result<std::optional<std::uint32_t>> exited = co_await child.wait_for(kStartupWait);
    if (!exited)
        co_return Error("waitpid sing-box failed: " + exited.error().full());
    if (const std::optional<std::uint32_t> code = exited.value()) {
        // The lines this run wrote, not those of earlier runs in the ring.
        co_await wait_for_run_output(*run, kFailedRunOutputWait);
        co_return Error(fmt::format("sing-box exited at startup (status={}); logs:\n{}",
                                    exit_status(*code), fmt::join(run->last_lines(), "\n")));
    }
    state->child.emplace(std::move(child));
    state->config_hash = hash;
    state->started_at = started;
    co_return hash;
}

asio::awaitable<void> stop_sandbox(std::shared_ptr<Sandbox> sandbox) {
    auto state = co_await sandbox->lock();
    if (!state->child)
        co_return;
    ChildProcess child = std::move(*state->child);
    state->child.reset();
    log::info(kLog, "stopping sing-box pid=Some({})", child.pid());

    (void)child.terminate();  // a failure shows in the wait below
    Result<std::optional<std::uint32_t>> exited = co_await child.wait_for(kStopWait);
    if (!exited) {
        log::error(kLog, "sing-box wait failed: {}", exited.error());
    } else if (const std::optional<std::uint32_t> code = exited.value()) {
        log::info(kLog, "sing-box exited (status={})", exit_status(*code));
    } else {
        log::warn(kLog, "sing-box did not exit within {}s, force-killing",
                  std::chrono::duration_cast<std::chrono::seconds>(kStopWait).count());
        if (child.terminate())
            (void)co_await child.wait_for(kForceKillWait);
    }
    state->config_hash.reset();
    state->started_at.reset();
}

asio::awaitable<void> push_log(std::shared_ptr<Sandbox> sandbox, std::string line) {
    auto state = co_await sandbox->lock();
    push_line(state->log_ring, std::move(line));
}

asio::awaitable<void> visit_log_tail(std::shared_ptr<Sandbox> sandbox, std::uint64_t n,
                                     std::function<void(const std::string&)> visit) {
    auto state = co_await sandbox->lock();
    const std::deque<std::string>& ring = state->log_ring;
    for (std::size_t i = tail_start(ring, n); i < ring.size(); ++i)
        visit(ring[i]);
}

}  // namespace qel::sandbox
