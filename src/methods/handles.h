#pragma once
// The methods' three shared handles, created once by agent_loop and cloned to every
// connection. No code holds two of their locks at once.

#include <memory>

#include "methods/connection_state.h"
#include "sandbox/lifecycle/sandbox_state.h"
#include "wfp/controller/controller.h"

namespace qel::methods {

struct Handles {
    std::shared_ptr<ConnState> conn_state;
    std::shared_ptr<sandbox::Sandbox> sandbox;
    std::shared_ptr<wfp::KillSwitchController> kill_switch;
};

}  // namespace qel::methods
