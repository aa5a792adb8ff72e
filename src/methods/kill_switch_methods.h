#pragma once
// "kill_switch_engage", "kill_switch_disengage" and "kill_switch_status".

#include <asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "methods/handles.h"
#include "methods/state_methods.h"

namespace qel::methods {

asio::awaitable<MethodResult> kill_switch_engage_method(nlohmann::json params, Handles handles);
asio::awaitable<MethodResult> kill_switch_disengage_method(Handles handles);
asio::awaitable<MethodResult> kill_switch_status_method(Handles handles);

}  // namespace qel::methods
