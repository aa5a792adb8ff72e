#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include "common/async/mutex.h"
#include "sandbox/lifecycle/child_process.h"

namespace qel::sandbox {

// The tunnel process's state; every field is used only under the Sandbox lock.
struct SandboxState {
    std::optional<ChildProcess> child;  // the process of the last successful start
    std::deque<std::string> log_ring;   // its output lines, "[out] " or "[err] " first
    std::optional<std::string> config_hash;
    std::optional<std::wstring> singbox_exe;  // the lookup's result, kept once found
    std::optional<std::chrono::steady_clock::time_point> started_at;
};

// Granted first come, first served.
using Sandbox = async::Mutex<SandboxState>;

}  // namespace qel::sandbox
