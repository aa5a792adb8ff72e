#pragma once
// The pipe listener: one listening instance at a time, replaced as soon as a client connects,
// each client handed to a detached task of its own.

#include <memory>
#include <optional>

#include <asio/awaitable.hpp>

#include "common/async/notify.h"
#include "common/async/oneshot.h"
#include "common/error.h"
#include "ipc/handles.h"

namespace qel::ipc {

// Returns success once `shutdown` fired, an error when a pipe instance cannot be created.
asio::awaitable<Result<void>> ipc_loop(std::optional<async::oneshot::Sender> ready, Handles handles,
                                       std::shared_ptr<async::Notify> shutdown);

}  // namespace qel::ipc
