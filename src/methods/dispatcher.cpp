#include "methods/dispatcher.h"

#include <functional>

#include <nlohmann/json.hpp>

#include "common/json_text.h"
#include "common/version.h"
#include "methods/kill_switch_methods.h"
#include "methods/params.h"
#include "methods/state_methods.h"
#include "sandbox/lifecycle/lifecycle.h"

namespace qel::methods {
namespace {

ipc::Response reply(std::optional<nlohmann::json> id, MethodResult outcome) {
    ipc::Response r;
    r.id = std::move(id);
    r.ok = outcome.ok();
    if (outcome.ok()) {
        r.result = std::move(outcome).value();
    } else {
        r.error = outcome.error().full();
    }
    return r;
}

// "logs" writes the ring's lines straight into the reply's text while the sandbox is locked:
// copying them out and through a value tree made up most of a 20 KiB reply's cost.
asio::awaitable<ipc::Response> logs_reply(std::optional<nlohmann::json> id,
                                          const nlohmann::json& params, Handles handles) {
    std::string text = "{\"lines\":[";
    bool first = true;
    const std::function<void(const std::string&)> append = [&](const std::string& line) {
        if (!first)
            text += ',';
        first = false;
        append_json_string(text, line);
    };
    text.reserve(32 * 1024);
    co_await sandbox::visit_log_tail(handles.sandbox, log_tail_param(params), append);
    text += "]}";
    ipc::Response r;
    r.id = std::move(id);
    r.ok = true;
    r.result_text = std::move(text);
    co_return r;
}

}  // namespace

// The method's outcome is awaited into a local before the reply is built: GCC 12 mishandles
// co_await inside function arguments.
asio::awaitable<MethodResult> run_method(const std::string& m, nlohmann::json params,
                                         Handles handles) {
    if (m == "ping")
        co_return nlohmann::json("pong");
    if (m == "version")
        co_return nlohmann::json{{"agent", std::string(kAgentVersion)}};
    if (m == "state")
        co_return co_await state_method(handles);
    if (m == "connect")
        co_return co_await connect_method(std::move(params), handles);
    if (m == "disconnect")
        co_return co_await disconnect_method(handles);
    if (m == "kill_switch_engage")
        co_return co_await kill_switch_engage_method(std::move(params), handles);
    if (m == "kill_switch_status")
        co_return co_await kill_switch_status_method(handles);
    if (m == "kill_switch_disengage")
        co_return co_await kill_switch_disengage_method(handles);
    co_return Error("unknown method: " + m);
}

asio::awaitable<ipc::Response> dispatch(ipc::Request request, Handles handles) {
    std::optional<nlohmann::json> id = std::move(request.id);
    if (request.method == "logs")
        co_return co_await logs_reply(std::move(id), request.params, std::move(handles));
    MethodResult outcome =
        co_await run_method(request.method, std::move(request.params), std::move(handles));
    co_return reply(std::move(id), std::move(outcome));
}

}  // namespace qel::methods
