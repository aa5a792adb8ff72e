#pragma once
// The command line: "--version"/"-V" wins over "--foreground"/"-f"; anything else hands the
// process to the service control dispatcher. Options match whole arguments only.

#include <string>
#include <vector>

namespace qel {

enum class RunMode { version, foreground, service };

// args: every argument, the program name in position 0 included.
RunMode choose_run_mode(const std::vector<std::string>& args);

}  // namespace qel
