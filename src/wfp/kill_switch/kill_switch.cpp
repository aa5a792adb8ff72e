#include "wfp/kill_switch/kill_switch.h"

#include "common/log.h"
#include "wfp/kill_switch/app_permit.h"
#include "wfp/kill_switch/conditions.h"
#include "wfp/kill_switch/filter_table.h"
#include "wfp/kill_switch/tun_interface.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_kill_switch;

Error rollback(std::unique_ptr<KillSwitch> kill_switch, Error error) {
    uninstall_kill_switch(std::move(kill_switch));
    return error;
}

}  // namespace

KillSwitch::KillSwitch(WfpEngine engine_, std::optional<std::string> app_path_,
                       ReleaseHook on_released_)
    : engine(std::move(engine_)),
      app_path(std::move(app_path_)),
      on_released(std::move(on_released_)) {}

KillSwitch::~KillSwitch() {
    Remains remains;
    for (const GUID& key : filter_keys) {
        if (!delete_wfp_filter(engine, key))
            remains.filters.push_back(key);
    }
    log::info(kLog, "kill-switch disengaged");
    remains.sublayer = close_wfp_engine(std::move(engine));
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

void uninstall_kill_switch(std::unique_ptr<KillSwitch> kill_switch) {
    kill_switch.reset();
}

}  // namespace qel::wfp
