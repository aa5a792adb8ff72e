#pragma once
// Starting and stopping sing-box, and the log ring's readers and writer.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <nlohmann/json_fwd.hpp>

#include "common/error.h"
#include "sandbox/lifecycle/sandbox_state.h"

namespace qel::sandbox {

inline constexpr std::chrono::milliseconds kStartupWait{700};
inline constexpr std::chrono::milliseconds kStopWait{5000};
// The wait after the second termination request: the stop holds the sandbox lock, so a
// process that never ends must not keep it longer than this.
inline constexpr std::chrono::milliseconds kForceKillWait{5000};
// How long a failed start waits for the exited run's output pipes to close, so that its own
// last lines make the failure text.
inline constexpr std::chrono::milliseconds kFailedRunOutputWait{1000};

// Writes the profile as the configuration, starts sing-box in a kill-on-close job, and returns
// the profile hash when the process still runs 700 ms later. Holds the lock throughout.
asio::awaitable<Result<std::string>> start_sandbox(std::shared_ptr<Sandbox> sandbox,
                                                   nlohmann::json profile);

// Terminates the recorded sing-box (if any), waits for it, and clears the record.
asio::awaitable<void> stop_sandbox(std::shared_ptr<Sandbox> sandbox);

asio::awaitable<void> push_log(std::shared_ptr<Sandbox> sandbox, std::string line);
// Calls visit with each of the last n lines, oldest first, while the sandbox is locked: a
// reader copies only what it makes of them.
asio::awaitable<void> visit_log_tail(std::shared_ptr<Sandbox> sandbox, std::uint64_t n,
                                     std::function<void(const std::string&)> visit);

}  // namespace qel::sandbox
