#pragma once
// The fwpuclnt.dll double as the Windows tests see it: its control exports, looked up in the
// loaded DLL, and its state and journal, parsed.

#include <windows.h>

#include <string>
#include <vector>

#include "state.h"

namespace qel::test::fwp {

// True when the fwpuclnt.dll of this process is the double (WINEDLLOVERRIDES=fwpuclnt=n).
bool double_loaded();

// Counters, faults, pause point and journal start again; the state stays.
void reset();
void clear_state();
void fail(const char* function, unsigned nth, DWORD code);
// The call has its effect, then reports code.
void fail_after(const char* function, unsigned nth, DWORD code);
void null_app_id(unsigned nth);
void pause(const char* function, unsigned nth);
bool wait_paused(DWORD milliseconds);
void resume();

fwpdbl::State state();
// "<function>[ <detail>] -> 0x<rc>" per call of this process since the last reset.
std::vector<std::string> journal();
// The journal's function names only.
std::vector<std::string> calls();

}  // namespace qel::test::fwp
