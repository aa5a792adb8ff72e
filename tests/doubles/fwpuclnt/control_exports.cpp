#include "control.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "calls.h"
#include "store.h"

namespace {

std::size_t copy_out(const std::string& text, char* buffer, std::size_t capacity) {
    if (buffer != nullptr && capacity > 0)
        std::memcpy(buffer, text.data(), std::min(capacity, text.size()));
    return text.size();
}

}  // namespace

extern "C" {

void qel_fwpdbl_reset(void) {
    qel::fwpdbl::reset_calls();
}

void qel_fwpdbl_clear_state(void) {
    qel::fwpdbl::clear_state();
}

void qel_fwpdbl_fail(const char* function, unsigned nth, DWORD code) {
    qel::fwpdbl::fail_call(function, nth, {code, false});
}

void qel_fwpdbl_fail_after(const char* function, unsigned nth, DWORD code) {
    qel::fwpdbl::fail_call(function, nth, {code, false, true});
}

void qel_fwpdbl_null_app_id(unsigned nth) {
    qel::fwpdbl::fail_call("FwpmGetAppIdFromFileName0", nth, {0, true});
}

void qel_fwpdbl_pause(const char* function, unsigned nth) {
    qel::fwpdbl::pause_call(function, nth);
}

BOOL qel_fwpdbl_wait_paused(DWORD milliseconds) {
    return qel::fwpdbl::wait_paused(milliseconds) ? TRUE : FALSE;
}

void qel_fwpdbl_resume(void) {
    qel::fwpdbl::resume_paused();
}

std::size_t qel_fwpdbl_state(char* buffer, std::size_t capacity) {
    return copy_out(qel::fwpdbl::state_text(), buffer, capacity);
}

std::size_t qel_fwpdbl_journal(char* buffer, std::size_t capacity) {
    std::string text;
    for (const std::string& line : qel::fwpdbl::journal())
        text += line + "\n";
    return copy_out(text, buffer, capacity);
}
}
