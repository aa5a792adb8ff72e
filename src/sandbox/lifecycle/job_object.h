#pragma once
// Binding sing-box to a kill-on-close job object.

#include <cstdint>

#include "common/error.h"
#include "common/win/unique_handle.h"

namespace qel::sandbox {

// Puts the process into a new job whose last handle's close terminates what it holds, and
// returns that handle. Whoever keeps it decides when the job's processes end: at the latest
// when the agent's process ends (after a crash as well), as the system then closes it.
Result<win::UniqueHandle> bind_job_object(std::uint32_t pid);

}  // namespace qel::sandbox
