#pragma once
// The agent's file-system places: data_root (%PROGRAMDATA%\QEL) and what lies under it.

#include <string>

namespace qel {

// PROGRAMDATA (or C:\ProgramData when unset or not valid Unicode) joined with "QEL".
std::wstring data_root();
// data_root joined with "runtime": sing-box's configuration and the kill switch's record.
std::wstring runtime_dir();

}  // namespace qel
