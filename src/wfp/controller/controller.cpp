#include "wfp/controller/controller.h"

namespace qel::wfp {

asio::awaitable<bool> is_kill_switch_engaged(std::shared_ptr<KillSwitchController> controller) {
    auto state = co_await controller->lock();
    co_return state->engaged;
}

}  // namespace qel::wfp
