#include "methods/kill_switch_methods.h"

#include "common/log.h"
#include "common/utf.h"
#include "methods/params.h"
#include "sandbox/config/singbox_lookup.h"
#include "sandbox/config/tun_alias.h"
#include "wfp/controller/controller.h"

namespace qel::methods {
namespace {

constexpr auto kLog = log::Target::ipc;

nlohmann::json string_or_null(const std::optional<std::string>& s) {
    return s ? nlohmann::json(*s) : nlohmann::json(nullptr);
}

// The application to permit: the request's "singbox_path", else the sing-box lookup (its
// failure, or a path that is not valid Unicode, leaves none).
std::optional<std::string> application_path(const nlohmann::json& params) {
    if (auto given = string_param(params, "singbox_path"))
        return given;
    Result<std::wstring> found = sandbox::find_singbox_exe();
    if (!found)
        return std::nullopt;
    return to_utf8(found.value());
}

}  // namespace

asio::awaitable<MethodResult> kill_switch_engage_method(nlohmann::json params, Handles handles) {
    // Worked out before and outside the controller's lock, also when already engaged.
    std::optional<std::string> path = application_path(params);
    std::optional<std::string> alias = string_param(params, "tun_iface_alias");
    if (!alias)
        alias = sandbox::tun_alias_from_config();

    Result<void> engaged = co_await wfp::engage_kill_switch(handles.kill_switch, path, alias);
    if (!engaged) {
        log::warn(kLog, "kill_switch_engage failed: {:#}", engaged.error());
        co_return std::move(engaged).error();
    }
    co_return nlohmann::json{{"engaged", true},
                             {"singbox_path", string_or_null(path)},
                             {"tun_iface_alias", string_or_null(alias)}};
}

asio::awaitable<MethodResult> kill_switch_disengage_method(Handles handles) {
    co_await wfp::disengage_kill_switch(handles.kill_switch);
    co_return nlohmann::json{{"engaged", false}};
}

asio::awaitable<MethodResult> kill_switch_status_method(Handles handles) {
    const bool engaged = co_await wfp::is_kill_switch_engaged(handles.kill_switch);
    co_return nlohmann::json{{"engaged", engaged}};
}

}  // namespace qel::methods
