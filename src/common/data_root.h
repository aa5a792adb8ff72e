#pragma once
// The agent's file-system places: data_root (%PROGRAMDATA%\QEL) and what lies under it.

#include <string>
#include <string_view>

namespace qel {

inline constexpr std::wstring_view kRuntimeFolder = L"runtime";
inline constexpr std::wstring_view kLogsFolder = L"logs";

// PROGRAMDATA (or C:\ProgramData when unset or not valid Unicode) joined with "QEL".
std::wstring data_root();
// data_root joined with "runtime": sing-box's configuration and the kill switch's record.
std::wstring runtime_dir();
// data_root joined with "logs": the service's daily log files.
std::wstring logs_dir();

}  // namespace qel
