#pragma once
// The service's log: the logs folder under data_root and the file pipeline in it.

#include <optional>

#include "service/logging/setup.h"

namespace qel::service {

// Claims the logs folder (a folder of the agent's own, see claim_data_folder) and installs the
// file pipeline; each day's file is opened in the folder claimed afresh, never through a link
// and never one that another account could change. When the folder cannot be made or claimed,
// writes "cannot create logs dir {}: {}" to standard error and returns nothing: the process
// then runs without any log.
std::optional<logging::LogGuard> open_service_log();

}  // namespace qel::service
