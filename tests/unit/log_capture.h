#pragma once
// Tests see the agent's log events: a capturing sink is installed once, with every level of
// every target let through, before any test runs.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace qel::test {

struct CapturedEvent {
    std::string level;  // "TRACE" .. "ERROR"
    std::string target;
    std::string message;
    std::chrono::steady_clock::time_point at;  // when the sink took it
};

void install_log_capture();
std::vector<CapturedEvent> captured_events();
void clear_captured_events();
// Messages of the captured events, in order.
std::vector<std::string> captured_messages();
bool has_event(const std::string& level, const std::string& message);
// Waits until the events captured so far satisfy done, at most for bound; done's last answer.
// done runs under the capture's lock: it must neither log nor call the functions above.
bool wait_for_events(const std::function<bool(const std::vector<CapturedEvent>&)>& done,
                     std::chrono::milliseconds bound);
// How often the sink was flushed.
std::size_t captured_flushes();

}  // namespace qel::test
