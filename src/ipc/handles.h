#pragma once
// The agent's four shared handles, created once by agent_loop and cloned to every task
// that needs them. No code holds two of their locks at once.

#include <memory>

#include "auth/session_tokens.h"
#include "ipc/connection_state.h"
#include "sandbox/lifecycle/sandbox_state.h"
#include "wfp/controller/controller.h"

namespace qel::ipc {

struct Handles {
    std::shared_ptr<ConnState> conn_state;
    std::shared_ptr<sandbox::Sandbox> sandbox;
    std::shared_ptr<wfp::KillSwitchController> kill_switch;
    std::shared_ptr<auth::SessionTokens> sessions;
};

}  // namespace qel::ipc
