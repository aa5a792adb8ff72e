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

    // Once the pipe is on its way: every writer claims its own folder before it writes, so
    // nothing waits for this, and a foreign folder is still moved aside before anything is
    // written there. Named before it is awaited (GCC 12, see run_blocking).
    const auto claim_folders = [] {
        win::claim_existing_data_folders(kLog);
        return Result<void>();
    };
    Result<void> claimed = co_await async::run_blocking(kLog, claim_folders);
    if (!claimed)
        log::warn(kLog, "data folder: {:#}", claimed.error());

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
