#pragma once
// The agent's one kill switch behind a first-come-first-served lock, shared by the pipe
// listener, every client connection and the agent loop.

#include <memory>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>

#include "common/async/mutex.h"
#include "common/error.h"

namespace qel::wfp {

struct KillSwitch;

// Empty means not engaged. Releasing the last reference while engaged releases the kill
// switch.
class KillSwitchController {
  public:
    KillSwitchController();
    KillSwitchController(const KillSwitchController&) = delete;
    KillSwitchController& operator=(const KillSwitchController&) = delete;
    ~KillSwitchController();

  private:
    friend asio::awaitable<Result<void>> engage_kill_switch(std::shared_ptr<KillSwitchController>,
                                                            std::optional<std::string>,
                                                            std::optional<std::string>);
    friend asio::awaitable<void> disengage_kill_switch(std::shared_ptr<KillSwitchController>);
    friend asio::awaitable<bool> is_kill_switch_engaged(std::shared_ptr<KillSwitchController>);

    async::Mutex<std::unique_ptr<KillSwitch>> engaged_;
};

// Installs the kill switch (UTF-8 path and alias, each optional). Success also when one is
// engaged already: then nothing changes. Holds the lock through every filtering call.
asio::awaitable<Result<void>> engage_kill_switch(std::shared_ptr<KillSwitchController> c,
                                                 std::optional<std::string> app_path,
                                                 std::optional<std::string> tun_alias);

// Never fails. The teardown runs after the lock is released; then whatever ended agent
// processes recorded and left installed is removed as well (never a live agent's).
asio::awaitable<void> disengage_kill_switch(std::shared_ptr<KillSwitchController> c);

asio::awaitable<bool> is_kill_switch_engaged(std::shared_ptr<KillSwitchController> c);

}  // namespace qel::wfp
