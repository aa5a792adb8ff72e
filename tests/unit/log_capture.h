#pragma once
// Tests see the agent's log events: a capturing sink is installed once, with every level of
// every target let through, before any test runs.

#include <cstddef>
#include <string>
#include <vector>

namespace qel::test {

struct CapturedEvent {
    std::string level;  // "TRACE" .. "ERROR"
    std::string target;
    std::string message;
};

void install_log_capture();
std::vector<CapturedEvent> captured_events();
void clear_captured_events();
// Messages of the captured events, in order.
std::vector<std::string> captured_messages();
bool has_event(const std::string& level, const std::string& message);
// How often the sink was flushed.
std::size_t captured_flushes();

}  // namespace qel::test
