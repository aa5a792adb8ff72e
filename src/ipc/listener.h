#pragma once
// The pipe listener: one listening instance at a time, replaced as soon as a client connects,
// each client handed to a detached task of its own.

#include <memory>
#include <optional>

#include <asio/awaitable.hpp>

#include "auth/session_tokens.h"
#include "common/async/notify.h"
#include "common/async/oneshot.h"
#include "common/error.h"
#include "ipc/connection.h"

namespace qel::ipc {

// Returns success once `shutdown` fired, an error when a pipe instance cannot be created.
// Each client is admitted and authenticated against `sessions`, then served by `dispatch`.
asio::awaitable<Result<void>> ipc_loop(std::optional<async::oneshot::Sender> ready,
                                       std::shared_ptr<auth::SessionTokens> sessions,
                                       Dispatch dispatch, std::shared_ptr<async::Notify> shutdown);

}  // namespace qel::ipc
