#pragma once
// "kill_switch_engage", "kill_switch_disengage" and "kill_switch_status".

#include <asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "ipc/handles.h"
#include "ipc/state_methods.h"

namespace qel::ipc {

asio::awaitable<MethodResult> kill_switch_engage_method(nlohmann::json params, Handles handles);
asio::awaitable<MethodResult> kill_switch_disengage_method(Handles handles);
asio::awaitable<MethodResult> kill_switch_status_method(Handles handles);

}  // namespace qel::ipc
