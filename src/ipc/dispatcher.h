#pragma once
// The methods of an authenticated connection.

#include <asio/awaitable.hpp>

#include "ipc/handles.h"
#include "ipc/request.h"

namespace qel::ipc {

// One reply per request, carrying the request's id; every failure is an error reply.
asio::awaitable<Response> dispatch(Request request, Handles handles);

}  // namespace qel::ipc
