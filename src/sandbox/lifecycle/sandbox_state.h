#pragma once

#include "common/async/mutex.h"

namespace qel::sandbox {

struct SandboxState {};

using Sandbox = async::Mutex<SandboxState>;

}  // namespace qel::sandbox
