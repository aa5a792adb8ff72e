#include "service/service_host.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/async/notify.h"
#include "common/async/oneshot.h"
#include "common/async/runtime.h"
#include "common/async/task.h"
#include "common/log.h"
#include "common/no_destroy.h"
#include "common/utf.h"
#include "common/version.h"
#include "common/win_error.h"
#include "service/agent_loop.h"
#include "service/exit_gate.h"
#include "service/logging/setup.h"
#include "service/service_log.h"
#include "service/service_main.h"
#include "service/std_streams.h"

namespace qel::service {
namespace {

constexpr auto kLog = log::Target::service;
constexpr DWORD kStartWaitHint = 10000;
// How long main waits for the service thread after the dispatcher returned: its last steps
// take at most about 1.1 s of log release once the runtime has ended.
constexpr std::chrono::seconds kServiceThreadExitWait{10};

// The service thread passes through it; never destroyed, since main may stop waiting first.
NoDestroy<ExitGate> g_service_thread;

// The control handler's context: one reference to `shutdown`. Controls may arrive until the
// process ends, so it lives in static storage; it is emptied only when registration fails.
struct HandlerContext {
    std::shared_ptr<async::Notify> shutdown;
};
HandlerContext g_handler_context;

Error winapi_error(DWORD code) {
    return win::os_error(code).context("IO error in winapi call");
}

// Rust-like category names for the service failure description.
const char* error_kind(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "NotFound";
        case ERROR_ACCESS_DENIED:
            return "PermissionDenied";
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return "AlreadyExists";
        case ERROR_INVALID_PARAMETER:
            return "InvalidInput";
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return "OutOfMemory";
        case ERROR_INVALID_HANDLE:
            return "InvalidInput";
        default:
            return "Uncategorized";
    }
}

// The multi-line description written after "service failed: ".
std::string failure_description(const char* kind, DWORD code) {
    return fmt::format(
        "{}(\n    Os {{\n        code: {},\n        kind: {},\n        message: \"{}\",\n    "
        "}},\n)",
        kind, code, error_kind(code), win::system_message(code));
}

bool set_status(SERVICE_STATUS_HANDLE h, DWORD state, DWORD accepted, DWORD wait_hint) {
    SERVICE_STATUS st{};
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = state;
    st.dwControlsAccepted = accepted;
    st.dwWin32ExitCode = NO_ERROR;
    st.dwServiceSpecificExitCode = 0;
    st.dwCheckPoint = 0;
    st.dwWaitHint = wait_hint;
    return SetServiceStatus(h, &st) != 0;
}

DWORD WINAPI on_service_control(DWORD control, DWORD, LPVOID, LPVOID context) {
    auto* ctx = static_cast<HandlerContext*>(context);
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            log::info(kLog, "service: stop/shutdown control received");
            ctx->shutdown->notify_waiters();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

asio::awaitable<Result<void>> service_async_main(std::shared_ptr<async::Notify> shutdown,
                                                 async::oneshot::Sender ready_tx,
                                                 async::oneshot::Receiver ready_rx,
                                                 SERVICE_STATUS_HANDLE status) {
    auto report_running = [status]() -> Result<void> {
        if (!set_status(status, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN,
                        0)) {
            return winapi_error(GetLastError());
        }
        return {};
    };
    co_return co_await run_service_main(std::move(shutdown), std::move(ready_tx),
                                        std::move(ready_rx), report_running, agent_loop);
}

// A failure that ends run_service early: which kind, and the system error it carries.
struct Failure {
    const char* kind;
    DWORD code;
};

// What run_service has reported so far, and what ended it early.
struct ServiceRun {
    SERVICE_STATUS_HANDLE status = nullptr;
    bool stopped_reported = false;  // also when the report failed: no other report follows
    std::optional<Failure> failure;
};

void report_stopped(ServiceRun& run) {
    run.stopped_reported = true;
    if (!set_status(run.status, SERVICE_STOPPED, 0, 0))
        run.failure = Failure{"Winapi", GetLastError()};
}

void serve(ServiceRun& run) {
    log::info(kLog, "QEL.Agent starting (service mode), version {}", kAgentVersion);

    auto shutdown = async::Notify::create();
    g_handler_context.shutdown = shutdown;

    run.status =
        RegisterServiceCtrlHandlerExW(kServiceName, on_service_control, &g_handler_context);
    if (run.status == nullptr) {
        run.failure = Failure{"Winapi", GetLastError()};
        g_handler_context.shutdown.reset();
        return;
    }
    if (!set_status(run.status, SERVICE_START_PENDING, 0, kStartWaitHint)) {
        run.failure = Failure{"Winapi", GetLastError()};
        return;
    }
    Result<std::unique_ptr<async::Runtime>> runtime = async::Runtime::build();
    if (!runtime) {
        run.failure = Failure{"Runtime", runtime.error().os_code().value_or(0)};
        return;
    }
    auto [ready_tx, ready_rx] = async::oneshot::channel();
    Result<void> result = (*runtime)->block_on(
        service_async_main(shutdown, std::move(ready_tx), std::move(ready_rx), run.status));
    report_stopped(run);
    if (!run.failure && !result)
        log::error(kLog, "agent loop returned error: {:#}", result.error());
    runtime->reset();
}

// An exception must not leave the service thread: it would end in std::terminate inside the
// dispatcher's frames, and the service would never be reported stopped.
void log_escaped(std::exception_ptr e) noexcept {
    try {
        log::error(kLog, "service thread failed: {}", async::exception_text(e));
    } catch (...) {
        // Nothing is left to tell.
    }
}

void run_service() {
    std::optional<logging::LogGuard> log_guard = open_service_log();
    ServiceRun run;
    try {
        serve(run);
    } catch (...) {
        // The runtime, when there was one, is released by now.
        if (run.status != nullptr && !run.stopped_reported)
            report_stopped(run);
        log_escaped(std::current_exception());
    }
    log_guard.reset();  // the queued lines reach the log file
    if (run.failure) {
        write_stderr(
            "service failed: " + failure_description(run.failure->kind, run.failure->code) + "\n");
    }
}

void WINAPI service_entry(DWORD argc, LPWSTR* argv) {
    const ExitGate::Pass inside(g_service_thread.get());
    try {
        std::vector<std::string> args;  // handed over but never read
        for (DWORD i = 0; i < argc; ++i)
            args.push_back(to_utf8_lossy(argv[i]));
        run_service();
    } catch (...) {
        log_escaped(std::current_exception());  // from run_service's own last steps
    }
}

}  // namespace

Result<void> run_service_dispatcher() {
    std::wstring name(kServiceName);
    SERVICE_TABLE_ENTRYW table[] = {
        {name.data(), service_entry},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(table))
        return winapi_error(GetLastError());
    // The stopped report let the dispatcher return; the service thread may still be logging
    // the service main's error and writing out the log queue.
    g_service_thread->wait_until_left(kServiceThreadExitWait);
    return {};
}

}  // namespace qel::service
