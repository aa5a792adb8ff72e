#include "service/agent_loop.h"

#include "common/async/blocking.h"
#include "common/async/task.h"
#include "common/log.h"
#include "common/win/own_folder.h"
#include "ipc/listener.h"
#include "methods/dispatcher.h"
#include "sandbox/lifecycle/lifecycle.h"
#include "service/listener_task.h"
#include "service/session_refresh.h"
#include "wfp/controller/controller.h"

namespace qel::service {
namespace {

constexpr auto kLog = log::Target::service;

// At start, the data folders that are not the agent's own go aside before anything is written
// in them. On the blocking pool, whose thread waits for the claims at most kClaimBound: a
// move aside that another account stalls goes on on the claims' own thread, never joined.
asio::awaitable<void> claim_data_folders() {
    // Named before it is awaited: GCC 12 destroys a lambda written inside a co_await twice.
    const auto claim = [] {
        win::claim_existing_data_folders(kLog);
        return Result<void>();
    };
    Result<void> claimed = co_await async::run_blocking(kLog, claim);
    if (!claimed)
        log::warn(kLog, "data folder: {:#}", claimed.error());
}

}  // namespace

asio::awaitable<void> agent_loop(std::optional<async::oneshot::Sender> ready,
                                 std::shared_ptr<async::Notify> shutdown, bool foreground) {
    // Armed first: a firing while the start-up below runs is not lost.
    async::Notify::Wait stop = shutdown->arm();

    const methods::Handles handles{
        std::make_shared<methods::ConnState>(methods::Idle{}),
        std::make_shared<sandbox::Sandbox>(),
        std::make_shared<wfp::KillSwitchController>(),
    };
    const auto sessions = std::make_shared<auth::SessionTokens>();
    ipc::Dispatch dispatch = [handles](ipc::Request request) {
        return methods::dispatch(std::move(request), handles);
    };

    Result<void> first_refresh = co_await auth::refresh_active_sessions(sessions);
    if (!first_refresh) {
        log::warn(kLog, "initial session refresh failed: {:#}", first_refresh.error());
    }

    asio::io_context& io = *co_await async::current_io();
    async::spawn_detached(io, kLog, periodic_session_refresh(shutdown, sessions));
    async::JoinHandle listener = async::spawn(
        io, listener_task(ipc::ipc_loop(std::move(ready), sessions, std::move(dispatch), shutdown),
                          shutdown));
    if (foreground)
        async::spawn_detached(io, kLog, watch_ctrl_c(shutdown));

    // Once the pipe is on its way, and not awaited: every writer claims its own folder before
    // it writes, so nothing needs to wait for this one, the shutdown included.
    async::spawn_detached(io, kLog, claim_data_folders());

    co_await stop.wait();
    log::info(kLog, "agent_loop: shutdown signal received");

    // The kill switch goes first, sing-box second, the listener last.
    co_await wfp::disengage_kill_switch(handles.kill_switch);
    co_await sandbox::stop_sandbox(handles.sandbox);

    listener.abort();
    co_await listener.join();
    log::info(kLog, "agent_loop: clean exit");
}

}  // namespace qel::service
