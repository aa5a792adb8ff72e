#pragma once
// Per-process bookkeeping of the calls the double answers: counters per function, injected
// faults, pause points and the journal of every call since the last reset.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace qel::fwpdbl {

struct Fault {
    DWORD code = 0;
    bool null_app_id = false;   // FwpmGetAppIdFromFileName0 answers 0 without a blob
    bool after_effect = false;  // the call has its effect, then reports code all the same
};

// The exit code of a process that a "kill" fault ended.
inline constexpr UINT kKilledExitCode = 99;

// Counts the call of `function`, stops at a pause point set for it, and returns the fault
// injected for this call, if any. Faults come from fail_call() and from
// QEL_FWP_DOUBLE_FAULTS ("Function:N=CODE" or "FwpmGetAppIdFromFileName0:N=null", separated
// by commas; N counts from 1, CODE is decimal or 0x-hex). There, CODE "kill" ends the process
// before the call has any effect, "kill-after" right after it, and "after-CODE" lets the call
// have its effect and then report CODE (see end_call). A fault of the last two kinds is not
// returned: the call goes on as if there were none.
std::optional<Fault> begin_call(const char* function);

// Adds "<function>[ <detail>] -> 0x<rc>" to the journal and returns rc (the code of an
// "after-CODE" fault instead, when one was injected for this call), or ends the process when
// the call was to be killed after its effect.
DWORD end_call(const char* function, const std::string& detail, DWORD rc);
void note_call(const std::string& line);

void fail_call(const char* function, unsigned nth, const Fault& fault);
void pause_call(const char* function, unsigned nth);
bool wait_paused(DWORD ms);
void resume_paused();

// Counters, faults, pause points and journal start again.
void reset_calls();
std::vector<std::string> journal();

}  // namespace qel::fwpdbl
