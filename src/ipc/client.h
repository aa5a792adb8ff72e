#pragma once
// One client connection on a connected pipe instance, from admission to close.

#include <asio/awaitable.hpp>

#include "common/error.h"
#include "ipc/handles.h"
#include "ipc/pipe_instance.h"

namespace qel::ipc {

asio::awaitable<Result<void>> handle_client(PipeInstance pipe, Handles handles);

}  // namespace qel::ipc
