#include "wfp/kill_switch/kill_switch.h"

#include <iphlpapi.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string_view>

#include "common/log.h"
#include "common/utf.h"
#include "common/win/files.h"
#include "wfp/engine/fwpm_memory.h"
#include "wfp/kill_switch/filter_table.h"
#include "wfp/kill_switch/wfp_ids.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_kill_switch;

// The one condition of each permit: a field compared with a value. The records point to
// values the caller keeps alive for as long as the filters are being added.
FWPM_FILTER_CONDITION0 condition(const GUID& field, FWP_MATCH_TYPE match, FWP_DATA_TYPE type) {
    FWPM_FILTER_CONDITION0 c{};
    c.fieldKey = field;
    c.matchType = match;
    c.conditionValue.type = type;
    return c;
}

// Loopback traffic: the flags field with FWP_CONDITION_FLAG_IS_LOOPBACK set.
FWPM_FILTER_CONDITION0 loopback_condition() {
    FWPM_FILTER_CONDITION0 c = condition(kConditionFlags, FWP_MATCH_FLAGS_ALL_SET, FWP_UINT32);
    c.conditionValue.uint32 = FWP_CONDITION_FLAG_IS_LOOPBACK;
    return c;
}

// Traffic leaving through the interface whose NET_LUID value the cell holds.
FWPM_FILTER_CONDITION0 local_interface_condition(std::uint64_t* luid) {
    FWPM_FILTER_CONDITION0 c = condition(kConditionIpLocalInterface, FWP_MATCH_EQUAL, FWP_UINT64);
    c.conditionValue.uint64 = luid;
    return c;
}

// Traffic of the program with this application id.
FWPM_FILTER_CONDITION0 app_id_condition(FWP_BYTE_BLOB* app_id) {
    FWPM_FILTER_CONDITION0 c = condition(kConditionAleAppId, FWP_MATCH_EQUAL, FWP_BYTE_BLOB_TYPE);
    c.conditionValue.byteBlob = app_id;
    return c;
}

// The rollback of a failed install: whatever was made so far is released, the error stays.
Error rollback(std::unique_ptr<KillSwitch> kill_switch, Error error) {
    kill_switch.reset();
    return error;
}

// After a refused filter: leave the group's later rows out, or still try them.
enum class OnFailure { stop, attempt_rest };

// Adds the group's rows in table order, each with the given conditions and the row's name
// followed by the subject (the alias or the path; empty for the fixed names). The error is the
// first refused filter's.
Result<void> add_filter_group(KillSwitch& kill_switch, FilterGroup group, std::string_view subject,
                              std::span<const FWPM_FILTER_CONDITION0> conditions,
                              OnFailure on_failure) {
    std::optional<Error> first;
    for (const FilterRow& row : kFilterTable) {
        if (row.group != group)
            continue;
        std::string name(row.name);
        name.append(subject);
        Result<void> r = add_wfp_filter(kill_switch.filter_target(), name, *row.layer, row.action,
                                        row.weight, conditions);
        if (r || first)
            continue;
        first = std::move(r).error();
        if (on_failure == OnFailure::stop)
            break;
    }
    if (first)
        return std::move(*first);
    return {};
}

void warn_tun_fallback(const std::string& alias, const Error& error) {
    log::warn(kLog,
              "kill-switch: could not install TUN-interface permit for '{}': {:#}; falling back "
              "to app-only allowlist (user apps may be blocked)",
              alias, error);
}

// The IPv4 and IPv6 permits for the tunnel's interface. Never fails the install: a failure is
// a warning, and a v4 permit already added stays installed (and counted) without its v6 twin.
void permit_tun_interface(KillSwitch& kill_switch, const std::string& alias) {
    Result<std::uint64_t> luid = resolve_tun_alias(alias);
    if (!luid) {
        warn_tun_fallback(alias, map_tun_alias_error(alias, luid.error()));
        return;
    }
    auto cell = std::make_unique<std::uint64_t>(*luid);
    const FWPM_FILTER_CONDITION0 condition = local_interface_condition(cell.get());
    Result<void> added = add_filter_group(kill_switch, FilterGroup::tun_interface, alias,
                                          {&condition, 1}, OnFailure::stop);
    if (!added) {
        cell.reset();
        warn_tun_fallback(alias, added.error());
        return;
    }
    kill_switch.luids.push_back(std::move(cell));
    log::info(kLog, "kill-switch: permit TUN interface '{}' installed", alias);
}

// The IPv4 and IPv6 permits for the program at this path, which must name an existing file.
// Both are attempted; the first refusal is the error.
Result<void> permit_app(KillSwitch& kill_switch, const std::string& path) {
    const std::wstring wide = to_wide(path);
    if (!win::is_existing_file(wide))
        return Error(fmt::format("permit-app: file does not exist: {}", path));

    FwpmMemory<FWP_BYTE_BLOB> app_id;
    if (const DWORD rc = FwpmGetAppIdFromFileName0(wide.c_str(), app_id.out()); rc != 0) {
        return Error(fmt::format("FwpmGetAppIdFromFileName0({}) rc={:#x}", path,
                                 static_cast<std::uint32_t>(rc)));
    }
    if (app_id.get() == nullptr)
        return Error("AppId blob is null");

    const FWPM_FILTER_CONDITION0 condition = app_id_condition(app_id.get());
    Result<void> added = add_filter_group(kill_switch, FilterGroup::app, path, {&condition, 1},
                                          OnFailure::attempt_rest);
    app_id.reset();  // after both attempts, before either outcome is looked at
    return added;
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

KillSwitch::KillSwitch(WfpEngine engine_, std::optional<std::string> app_path_,
                       ReleaseHook on_released_)
    : engine(std::move(engine_)),
      app_path(std::move(app_path_)),
      on_released(std::move(on_released_)) {}

KillSwitch::~KillSwitch() {
    Remains remains;
    // An add that reported failure may have gone in all the same (a call to the engine that
    // timed out, say): its key is kept among what remains, without a delete, for the sweep of
    // leftovers to look up.
    for (const GUID& key : engine.taken_filter_keys()) {
        const bool installed =
            std::any_of(filter_keys.begin(), filter_keys.end(),
                        [&](const GUID& k) { return IsEqualGUID(k, key) != FALSE; });
        if (!installed || !delete_wfp_filter(engine, key))
            remains.filters.push_back(key);
    }
    log::info(kLog, "kill-switch disengaged");
    remains.sublayer = close_wfp_engine(std::move(engine));
    // The engine deletes no sublayer that still holds a filter: once the sublayer is gone, so
    // is every filter that may have gone into it.
    if (!remains.sublayer)
        remains.filters.clear();
    if (on_released)
        on_released(remains);
    // The key list, the path copy and the cells go with the members, after the engine.
}

Result<std::unique_ptr<KillSwitch>> install_kill_switch(WfpEngine engine,
                                                        std::optional<std::string> app_path,
                                                        std::optional<std::string> tun_alias,
                                                        ReleaseHook on_released) {
    auto ks = std::make_unique<KillSwitch>(std::move(engine), app_path, std::move(on_released));

    const FWPM_FILTER_CONDITION0 loopback = loopback_condition();
    if (Result<void> r =
            add_filter_group(*ks, FilterGroup::loopback, {}, {&loopback, 1}, OnFailure::stop);
        !r) {
        return rollback(std::move(ks), std::move(r).error());
    }
    if (tun_alias)
        permit_tun_interface(*ks, *tun_alias);
    // The path is looked at only now: a missing file is found after the permits above went
    // in, and the rollback deletes them.
    if (app_path) {
        if (Result<void> r = permit_app(*ks, *app_path); !r)
            return rollback(std::move(ks), std::move(r).error());
    }
    if (Result<void> r = add_filter_group(*ks, FilterGroup::block_all, {}, {}, OnFailure::stop);
        !r) {
        return rollback(std::move(ks), std::move(r).error());
    }
    log::info(kLog, "kill-switch engaged: {} filters installed", ks->filter_keys.size());
    return ks;
}

}  // namespace qel::wfp
