#include <windows.h>

#include <mutex>

#include "common/async/trigger.h"
#include "common/log.h"
#include "service/agent_loop.h"

namespace qel::service {
namespace {

// The console control handler has no context argument: the one pending watch lives here.
std::mutex g_mutex;
std::shared_ptr<async::Trigger> g_first_ctrl_c;

BOOL WINAPI on_console_ctrl(DWORD type) {
    if (type != CTRL_C_EVENT)
        return FALSE;
    std::shared_ptr<async::Trigger> t;
    {
        std::lock_guard lock(g_mutex);
        t = std::move(g_first_ctrl_c);
    }
    // Only the first Ctrl+C is ours; later ones get the console's default handling.
    return t && t->fire() ? TRUE : FALSE;
}

}  // namespace

asio::awaitable<void> watch_ctrl_c(std::shared_ptr<async::Notify> shutdown) {
    auto first = async::Trigger::create();
    {
        std::lock_guard lock(g_mutex);
        g_first_ctrl_c = first;
    }
    if (!SetConsoleCtrlHandler(on_console_ctrl, TRUE))
        co_return;
    co_await first->wait(/*cancellable=*/false);
    SetConsoleCtrlHandler(on_console_ctrl, FALSE);
    log::info(log::Target::service, "ctrl+c received in foreground mode");
    shutdown->notify_waiters();
}

}  // namespace qel::service
