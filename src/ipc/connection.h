#pragma once
// One client connection after admission: request lines in, one reply line per non-empty
// request out, "auth" answered here, everything else through the dispatcher once the
// connection is authenticated.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "common/error.h"
#include "ipc/byte_stream.h"
#include "ipc/request.h"

namespace qel::ipc {

// A request line longer than this before its line feed gets one error reply, then the close:
// a client that never sends a line feed cannot make the agent's memory grow without end.
inline constexpr std::size_t kMaxRequestLine = 16 * 1024 * 1024;

// Written to a client that is not admitted, before the close.
inline constexpr std::string_view kRejectSessionLine =
    "{\"ok\":false,\"error\":\"unauthorized: session\"}\n";

// The methods of an authenticated connection: one reply per request. The layer above the
// pipe server provides them; the server only passes the requests on.
using Dispatch = std::function<asio::awaitable<Response>(Request request)>;

struct ConnectionServices {
    // True when the token is the one held for the connection's session.
    std::function<asio::awaitable<bool>(std::string token)> verify_token;
    Dispatch dispatch;
    // The text of an I/O error of the stream.
    std::function<std::string(std::error_code)> describe_error;
};

// Serves the connection until the client closes it or the close rule ends it (success), or
// a read, a write or the UTF-8 check fails (the error).
asio::awaitable<Result<void>> serve_connection(ByteStream& stream, std::uint32_t session,
                                               ConnectionServices services);

}  // namespace qel::ipc
