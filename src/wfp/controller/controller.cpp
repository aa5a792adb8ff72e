#include "wfp/controller/controller.h"

#include "common/log.h"
#include "wfp/controller/leftovers.h"
#include "wfp/controller/record_file.h"
#include "wfp/engine/wfp_engine.h"
#include "wfp/kill_switch/filter_table.h"
#include "wfp/kill_switch/kill_switch.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_controller;

}  // namespace

KillSwitchController::KillSwitchController() = default;
KillSwitchController::~KillSwitchController() = default;

asio::awaitable<Result<void>> engage_kill_switch(std::shared_ptr<KillSwitchController> c,
                                                 std::optional<std::string> app_path,
                                                 std::optional<std::string> tun_alias) {
    auto engaged = co_await c->engaged_.lock();
    if (*engaged) {
        log::info(kLog, "kill-switch already engaged \u2014 no-op");
        co_return Result<void>();
    }
    // Every key is on the disk before the object it names exists, so that an agent killed at
    // any step of the engage leaves nothing that a later agent could not remove.
    KeyPlan plan = KeyPlan::fresh(kFilterTable.size());
    const RecordEntry record(plan);
    Result<WfpEngine> engine = open_wfp_engine(std::move(plan));
    if (!engine) {
        record.released(Remains{});
        co_return Result<void>(std::move(engine).error());
    }
    Result<std::unique_ptr<KillSwitch>> ks =
        install_kill_switch(std::move(engine).value(), std::move(app_path), std::move(tun_alias),
                            [record](const Remains& remains) { record.released(remains); });
    if (!ks)
        co_return Result<void>(std::move(ks).error());
    record.narrow_to((*ks)->engine.taken_filter_keys());
    *engaged = std::move(ks).value();
    co_return Result<void>();
}

asio::awaitable<void> disengage_kill_switch(std::shared_ptr<KillSwitchController> c) {
    std::unique_ptr<KillSwitch> taken;
    {
        auto engaged = co_await c->engaged_.lock();
        taken = std::move(*engaged);
        if (taken)
            log::info(kLog, "kill-switch disengaged on demand");
        else
            log::warn(kLog, "kill-switch disengage called but was not engaged");
    }
    taken.reset();
    remove_leftovers();
}

asio::awaitable<bool> is_kill_switch_engaged(std::shared_ptr<KillSwitchController> c) {
    auto engaged = co_await c->engaged_.lock();
    co_return static_cast<bool>(*engaged);
}

}  // namespace qel::wfp
