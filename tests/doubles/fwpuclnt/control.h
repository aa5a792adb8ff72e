#pragma once
// Functions the fwpuclnt.dll double exports besides the filtering calls it answers
// (FwpmEngineOpen0, FwpmEngineClose0, FwpmSubLayerAdd0, FwpmSubLayerDeleteByKey0,
// FwpmSubLayerGetByKey0, FwpmFilterAdd0, FwpmFilterDeleteByKey0, FwpmFilterGetByKey0,
// FwpmGetAppIdFromFileName0, FwpmFreeMemory0), for tests in the process that loaded it
// (look them up with GetProcAddress).
//
// Configuration knobs:
//   QEL_FWP_DOUBLE_STATE   path of the state file (default: fwpuclnt-state.txt beside the
//                          DLL); its format is described in state.h
//   QEL_FWP_DOUBLE_FAULTS  injected faults, read at every call: "Function:N=CODE,...", the
//                          Nth call (from 1, per process) of Function returns CODE without
//                          any effect; "after-CODE" (e.g. "after-0x5b4") returns CODE once the
//                          call has had its effect, as a call that timed out may;
//                          "FwpmGetAppIdFromFileName0:N=null" answers 0 with no blob; CODE
//                          "kill" ends the process (exit code 99) before the call has any
//                          effect, "kill-after" once it has had it
//   qel_fwpdbl_fail / qel_fwpdbl_fail_after / qel_fwpdbl_null_app_id
//                          the same, counted from the last reset
//   qel_fwpdbl_pause       the Nth call of a function blocks until qel_fwpdbl_resume;
//                          qel_fwpdbl_wait_paused waits until a call is stopped there
//
// Counters, faults and the journal are per process; the state is shared through the file.

#include <windows.h>

#include <cstddef>

extern "C" {

// Starts counters, faults, pause point and journal of this process again.
void qel_fwpdbl_reset(void);
// Removes the state file: no engine, sublayer or filter is left.
void qel_fwpdbl_clear_state(void);
void qel_fwpdbl_fail(const char* function, unsigned nth, DWORD code);
void qel_fwpdbl_fail_after(const char* function, unsigned nth, DWORD code);
void qel_fwpdbl_null_app_id(unsigned nth);
void qel_fwpdbl_pause(const char* function, unsigned nth);
BOOL qel_fwpdbl_wait_paused(DWORD milliseconds);
void qel_fwpdbl_resume(void);
// Copy at most `capacity` bytes of the text and return its whole length: the state file, and
// the journal of this process's calls since the last reset, one "<function>[ <detail>] ->
// 0x<rc>" line each (FwpmFreeMemory0, which has no result: "FwpmFreeMemory0", or with
// " null" / " unknown" for a pointer it did not hand out).
std::size_t qel_fwpdbl_state(char* buffer, std::size_t capacity);
std::size_t qel_fwpdbl_journal(char* buffer, std::size_t capacity);
}
