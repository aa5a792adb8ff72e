#pragma once
// One client connection on a connected pipe instance, from admission to close.

#include <memory>

#include <asio/awaitable.hpp>

#include "auth/session_tokens.h"
#include "common/error.h"
#include "ipc/connection.h"
#include "ipc/pipe_instance.h"

namespace qel::ipc {

// The token of "auth" is checked against `sessions`; every other request of an authenticated
// connection goes to `dispatch`.
asio::awaitable<Result<void>> handle_client(PipeInstance pipe,
                                            std::shared_ptr<auth::SessionTokens> sessions,
                                            Dispatch dispatch);

}  // namespace qel::ipc
