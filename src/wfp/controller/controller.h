#pragma once

#include <memory>
#include <optional>

#include <asio/awaitable.hpp>

#include "common/async/mutex.h"

namespace qel::wfp {

struct KillSwitchState {
    bool engaged = false;
};

using KillSwitchController = async::Mutex<KillSwitchState>;

asio::awaitable<bool> is_kill_switch_engaged(std::shared_ptr<KillSwitchController> controller);

}  // namespace qel::wfp
