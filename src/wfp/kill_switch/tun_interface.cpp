#include "wfp/kill_switch/tun_interface.h"

#include <windows.h>

#include <iphlpapi.h>

#include <memory>

#include "common/log.h"
#include "common/utf.h"
#include "wfp/kill_switch/conditions.h"
#include "wfp/kill_switch/filter_table.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_kill_switch;

void warn_fallback(const std::string& alias, const Error& error) {
    log::warn(kLog,
              "kill-switch: could not install TUN-interface permit for '{}': {:#}; falling back "
              "to app-only allowlist (user apps may be blocked)",
              alias, error);
}

}  // namespace

Result<std::uint64_t> resolve_tun_alias(const std::string& alias) {
    const std::wstring wide = to_wide(alias);
    NET_LUID luid{};
    luid.Value = 0;
    if (const DWORD rc = ConvertInterfaceAliasToLuid(wide.c_str(), &luid); rc != 0) {
        return Error(fmt::format("ConvertInterfaceAliasToLuid('{}') rc=0x{:08x}", alias,
                                 static_cast<std::uint32_t>(rc)));
    }
    return static_cast<std::uint64_t>(luid.Value);
}

Error map_tun_alias_error(const std::string& alias, const Error& error) {
    return Error(fmt::format("resolve TUN alias '{}': {:#}", alias, error));
}

void permit_tun_interface(KillSwitch& kill_switch, const std::string& alias) {
    Result<std::uint64_t> luid = resolve_tun_alias(alias);
    if (!luid) {
        warn_fallback(alias, map_tun_alias_error(alias, luid.error()));
        return;
    }
    auto cell = std::make_unique<std::uint64_t>(*luid);
    const FWPM_FILTER_CONDITION0 condition = local_interface_condition(cell.get());
    Result<void> added = add_filter_group(kill_switch, FilterGroup::tun_interface, alias,
                                          {&condition, 1}, OnFailure::stop);
    if (!added) {
        cell.reset();
        warn_fallback(alias, added.error());
        return;
    }
    kill_switch.luids.push_back(std::move(cell));
    log::info(kLog, "kill-switch: permit TUN interface '{}' installed", alias);
}

}  // namespace qel::wfp
