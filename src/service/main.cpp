// qel-agent.exe: the version line, the console mode, or the Windows service.

#include <windows.h>
// windows.h first: the other Windows headers depend on it.
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/async/notify.h"
#include "common/async/runtime.h"
#include "common/async/task.h"
#include "common/log.h"
#include "common/utf.h"
#include "common/version.h"
#include "common/win/owned.h"
#include "service/agent_loop.h"
#include "service/cli.h"
#include "service/logging/setup.h"
#include "service/service_host.h"
#include "service/std_streams.h"

namespace {

using namespace qel;

std::vector<std::string> command_line_args() {
    std::vector<std::string> args;
    int argc = 0;
    const win::LocalMemory<LPWSTR> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv)
        return args;
    for (int i = 0; i < argc; ++i)
        args.push_back(to_utf8_lossy(argv.get()[i]));
    return args;
}

Result<void> run_console() {
    logging::init_console_logging();
    log::info(log::Target::service, "QEL.Agent starting (foreground mode), version {}",
              kAgentVersion);
    Result<std::unique_ptr<async::Runtime>> runtime = async::Runtime::build();
    if (!runtime)
        return std::move(runtime).error();
    auto shutdown = async::Notify::create();
    (*runtime)->block_on(service::agent_loop(std::nullopt, shutdown, /*foreground=*/true));
    runtime->reset();
    return {};
}

int finish(const Result<void>& r) {
    if (r)
        return 0;
    service::write_stderr("Error: " + r.error().debug() + "\n");
    return 1;
}

}  // namespace

int main() {
    try {
        switch (choose_run_mode(command_line_args())) {
            case RunMode::version:
                service::write_stdout(std::string(kVersionLine) + "\n");
                return 0;
            case RunMode::foreground:
                return finish(run_console());
            case RunMode::service:
                return finish(service::run_service_dispatcher());
        }
    } catch (...) {
        // Out of the agent loop in the console mode: its last words, not std::terminate.
        service::write_stderr("Error: " + async::exception_text(std::current_exception()) + "\n");
    }
    return 1;
}
