#pragma once
// The methods of an authenticated connection.

#include <asio/awaitable.hpp>

#include "ipc/request.h"
#include "methods/handles.h"

namespace qel::methods {

// One reply per request, carrying the request's id; every failure is an error reply.
asio::awaitable<ipc::Response> dispatch(ipc::Request request, Handles handles);

}  // namespace qel::methods
