#include "wfp/controller/controller.h"

#include "common/log.h"
#include "wfp/controller/engagement.h"
#include "wfp/controller/leftovers.h"
#include "wfp/engine/wfp_engine.h"
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
    Result<WfpEngine> engine = open_wfp_engine();
    if (!engine)
        co_return Result<void>(std::move(engine).error());
    Result<std::unique_ptr<KillSwitch>> ks =
        install_kill_switch(std::move(engine).value(), std::move(app_path), std::move(tun_alias));
    if (!ks)
        co_return Result<void>(std::move(ks).error());
    *engaged = std::make_unique<Engagement>(std::move(ks).value());
    co_return Result<void>();
}

asio::awaitable<void> disengage_kill_switch(std::shared_ptr<KillSwitchController> c) {
    std::unique_ptr<Engagement> taken;
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
