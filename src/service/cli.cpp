#include "service/cli.h"

#include <algorithm>

namespace qel {

RunMode choose_run_mode(const std::vector<std::string>& args) {
    auto given = [&](std::string_view a, std::string_view b) {
        return std::any_of(args.begin(), args.end(),
                           [&](const std::string& arg) { return arg == a || arg == b; });
    };
    if (given("--version", "-V"))
        return RunMode::version;
    if (given("--foreground", "-f"))
        return RunMode::foreground;
    return RunMode::service;
}

}  // namespace qel
