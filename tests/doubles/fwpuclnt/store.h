#pragma once
// The double's state file: where it is, and a locked load-change-save around each call.

#include <functional>
#include <string>

#include "state.h"

namespace qel::fwpdbl {

// QEL_FWP_DOUBLE_STATE when set, else fwpuclnt-state.txt beside the DLL.
std::wstring state_path();

// Loads the state, runs f and saves the state again when f returns true. Serialised across
// threads and processes by a named mutex; the save is atomic (temporary file, then move).
void with_state(const std::function<bool(State&)>& f);

// The file's text as it is now ("" when there is none).
std::string state_text();

// Removes the file.
void clear_state();

}  // namespace qel::fwpdbl
