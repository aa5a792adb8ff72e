#pragma once
// The agent's file-system places: data_root (%PROGRAMDATA%\QEL) and what lies under it.

#include <string>

namespace qel::sandbox {

// PROGRAMDATA (or C:\ProgramData when unset or not valid Unicode) joined with "QEL".
std::wstring data_root();
// data_root joined with "runtime".
std::wstring runtime_dir();
// data_root joined with "runtime", then "config.json".
std::wstring config_path();

}  // namespace qel::sandbox
