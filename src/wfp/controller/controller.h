#pragma once

#include "common/async/mutex.h"

namespace qel::wfp {

struct KillSwitchState {};

using KillSwitchController = async::Mutex<KillSwitchState>;

}  // namespace qel::wfp
