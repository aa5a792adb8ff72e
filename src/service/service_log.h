#pragma once
// The service's log: the logs folder under data_root and the file pipeline in it.

#include <optional>
#include <string>

#include "service/logging/setup.h"

namespace qel::service {

// Creates log_dir with its parents and installs the file pipeline. When the folder cannot be
// made, writes "cannot create logs dir {}: {}" to standard error and returns nothing: the
// process then runs without any log.
std::optional<logging::LogGuard> open_service_log(const std::wstring& log_dir);

}  // namespace qel::service
