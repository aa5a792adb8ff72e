#pragma once
// "connect", "disconnect" and "state": the agent's connection state and the sandbox.

#include <asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "common/error.h"
#include "methods/handles.h"

namespace qel::methods {

using MethodResult = Result<nlohmann::json>;

asio::awaitable<MethodResult> connect_method(nlohmann::json params, Handles handles);
asio::awaitable<MethodResult> disconnect_method(Handles handles);
asio::awaitable<MethodResult> state_method(Handles handles);

}  // namespace qel::methods
