#include "methods/state_methods.h"

#include "common/log.h"
#include "methods/params.h"
#include "methods/state_snapshot.h"
#include "sandbox/lifecycle/lifecycle.h"
#include "wfp/controller/controller.h"

namespace qel::methods {
namespace {
constexpr auto kLog = log::Target::ipc;
}

asio::awaitable<MethodResult> connect_method(nlohmann::json params, Handles handles) {
    const nlohmann::json* given = param(params, "profile");
    if (!given)
        co_return Error("missing params.profile");
    nlohmann::json profile = *given;
    {
        auto state = co_await handles.conn_state->write();
        if (std::holds_alternative<Connecting>(*state) ||
            std::holds_alternative<Connected>(*state)) {
            co_return Error("already connected/connecting \u2014 call disconnect first");
        }
        *state = Connecting{std::chrono::steady_clock::now(), ""};
    }

    Result<std::string> started =
        co_await sandbox::start_sandbox(handles.sandbox, std::move(profile));
    if (!started) {
        log::warn(kLog, "connect failed: {:#}", started.error());
        const std::string reason = started.error().full();
        auto state = co_await handles.conn_state->write();
        *state = Failed{std::chrono::steady_clock::now(), reason};
        co_return Error(reason);
    }
    // Uptime counts from here: the start-up wait is not part of it.
    const MonoTime since = std::chrono::steady_clock::now();
    auto state = co_await handles.conn_state->write();
    *state = Connected{since, started.value()};
    log::info(kLog, "connect ok, profile_hash={}", started.value());
    co_return nlohmann::json{{"profile_hash", started.value()}};
}

asio::awaitable<MethodResult> disconnect_method(Handles handles) {
    {
        auto state = co_await handles.conn_state->write();
        if (std::holds_alternative<Idle>(*state))
            co_return nlohmann::json{{"noop", true}};
        *state = Disconnecting{};
    }
    co_await sandbox::stop_sandbox(handles.sandbox);
    auto state = co_await handles.conn_state->write();
    *state = Idle{};
    co_return nlohmann::json{{"ok", true}};
}

asio::awaitable<MethodResult> state_method(Handles handles) {
    nlohmann::json result;
    {
        auto state = co_await handles.conn_state->read();
        result = state_snapshot(*state, std::chrono::steady_clock::now());
    }
    // Read after the state's lock is gone: the two values are not one snapshot.
    result["kill_switch_engaged"] = co_await wfp::is_kill_switch_engaged(handles.kill_switch);
    co_return result;
}

}  // namespace qel::methods
