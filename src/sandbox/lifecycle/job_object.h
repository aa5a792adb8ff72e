#pragma once
// Binding sing-box to a kill-on-close job object.

#include <cstdint>

#include "common/error.h"

namespace qel::sandbox {

// Puts the process into a new job whose last handle's close terminates it. That handle is
// kept open until the agent's process ends: then (after a crash as well) the system closes
// it and the limit takes sing-box down with the agent.
Result<void> bind_job_object(std::uint32_t pid);

}  // namespace qel::sandbox
