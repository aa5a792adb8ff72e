#include "ipc/client.h"

#include <asio/buffer.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "auth/admission.h"
#include "auth/session_tokens.h"
#include "ipc/pipe_stream.h"

namespace qel::ipc {

asio::awaitable<Result<void>> handle_client(PipeInstance pipe,
                                            std::shared_ptr<auth::SessionTokens> sessions,
                                            Dispatch dispatch) {
    Result<std::uint32_t> admitted = auth::check_console_session(pipe.native_handle());
    if (!admitted) {
        // Nothing the client sent is read; a failing write changes nothing.
        co_await asio::async_write(
            pipe, asio::buffer(kRejectSessionLine.data(), kRejectSessionLine.size()),
            asio::experimental::as_tuple(asio::use_awaitable));
        asio::error_code ignored;
        pipe.close(ignored);
        co_return std::move(admitted).error();
    }
    const std::uint32_t session = admitted.value();

    ConnectionServices services;
    services.verify_token = [sessions = std::move(sessions), session](std::string token) {
        return auth::verify_token(sessions, session, std::move(token));
    };
    services.dispatch = std::move(dispatch);
    services.describe_error = describe_io_error;

    PipeStream stream(pipe);
    co_return co_await serve_connection(stream, session, std::move(services));
}

}  // namespace qel::ipc
