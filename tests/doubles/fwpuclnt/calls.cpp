#include "calls.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

namespace qel::fwpdbl {
namespace {

// The process is to end as soon as the call in progress on this thread has had its effect.
thread_local bool t_kill_after_call = false;
// The call in progress on this thread is to have its effect and then report this code.
thread_local std::optional<DWORD> t_report_after_call;

struct Injected {
    std::string function;
    unsigned nth;
    Fault fault;
};

struct Calls {
    std::mutex m;
    std::map<std::string, unsigned> counts;
    std::vector<Injected> faults;
    std::optional<std::pair<std::string, unsigned>> pause;
    std::vector<std::string> journal;
    HANDLE paused = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE resume = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

Calls& calls() {
    static Calls c;
    return c;
}

std::optional<Fault> env_fault(const std::string& function, unsigned nth) {
    char buf[4096];
    const DWORD n = GetEnvironmentVariableA("QEL_FWP_DOUBLE_FAULTS", buf, sizeof buf);
    if (n == 0 || n >= sizeof buf)
        return std::nullopt;
    std::string list(buf, n);
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        const std::string item = list.substr(start, end - start);
        start = end + 1;
        const std::size_t colon = item.find(':');
        const std::size_t eq = item.find('=');
        if (colon == std::string::npos || eq == std::string::npos || eq < colon)
            continue;
        if (item.substr(0, colon) != function ||
            std::strtoul(item.c_str() + colon + 1, nullptr, 10) != nth) {
            continue;
        }
        const std::string value = item.substr(eq + 1);
        if (value == "null")
            return Fault{0, true};
        if (value == "kill")
            TerminateProcess(GetCurrentProcess(), kKilledExitCode);
        if (value == "kill-after") {
            t_kill_after_call = true;
            return std::nullopt;
        }
        const bool after = value.rfind("after-", 0) == 0;
        const char* code = value.c_str() + (after ? 6 : 0);
        return Fault{static_cast<DWORD>(std::strtoul(code, nullptr, 0)), false, after};
    }
    return std::nullopt;
}

}  // namespace

std::optional<Fault> begin_call(const char* function) {
    Calls& c = calls();
    std::optional<Fault> fault;
    bool pause = false;
    unsigned nth = 0;
    {
        std::lock_guard lock(c.m);
        nth = ++c.counts[function];
        for (const Injected& i : c.faults) {
            if (i.function == function && i.nth == nth)
                fault = i.fault;
        }
        pause = c.pause && c.pause->first == function && c.pause->second == nth;
    }
    if (!fault)
        fault = env_fault(function, nth);
    if (pause) {
        SetEvent(c.paused);
        WaitForSingleObject(c.resume, INFINITE);
    }
    if (fault && fault->after_effect) {
        t_report_after_call = fault->code;
        return std::nullopt;
    }
    return fault;
}

DWORD end_call(const char* function, const std::string& detail, DWORD rc) {
    if (t_report_after_call)
        rc = *std::exchange(t_report_after_call, std::nullopt);
    char code[16];
    std::snprintf(code, sizeof code, "0x%lx", static_cast<unsigned long>(rc));
    note_call(std::string(function) + (detail.empty() ? "" : " " + detail) + " -> " + code);
    if (t_kill_after_call)
        TerminateProcess(GetCurrentProcess(), kKilledExitCode);
    return rc;
}

void note_call(const std::string& line) {
    Calls& c = calls();
    std::lock_guard lock(c.m);
    c.journal.push_back(line);
}

void fail_call(const char* function, unsigned nth, const Fault& fault) {
    Calls& c = calls();
    std::lock_guard lock(c.m);
    c.faults.push_back({function, nth, fault});
}

void pause_call(const char* function, unsigned nth) {
    Calls& c = calls();
    std::lock_guard lock(c.m);
    c.pause.emplace(function, nth);
    ResetEvent(c.paused);
    ResetEvent(c.resume);
}

bool wait_paused(DWORD ms) {
    return WaitForSingleObject(calls().paused, ms) == WAIT_OBJECT_0;
}

void resume_paused() {
    SetEvent(calls().resume);
}

void reset_calls() {
    Calls& c = calls();
    std::lock_guard lock(c.m);
    c.counts.clear();
    c.faults.clear();
    c.pause.reset();
    c.journal.clear();
    SetEvent(c.resume);  // nothing stays stopped at an old pause point
}

std::vector<std::string> journal() {
    Calls& c = calls();
    std::lock_guard lock(c.m);
    return c.journal;
}

}  // namespace qel::fwpdbl
