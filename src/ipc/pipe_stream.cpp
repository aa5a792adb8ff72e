#include "ipc/pipe_stream.h"

#include <asio/buffer.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "common/win_error.h"

namespace qel::ipc {

asio::awaitable<std::pair<std::error_code, std::size_t>> PipeStream::read_some(
    std::span<char> buf) {
    auto [ec, n] = co_await pipe_.async_read_some(
        asio::buffer(buf.data(), buf.size()), asio::experimental::as_tuple(asio::use_awaitable));
    co_return std::pair<std::error_code, std::size_t>{ec, n};
}

asio::awaitable<std::error_code> PipeStream::write_all(std::span<const char> bytes) {
    auto [ec, n] = co_await asio::async_write(pipe_, asio::buffer(bytes.data(), bytes.size()),
                                              asio::experimental::as_tuple(asio::use_awaitable));
    if (!ec && n != bytes.size())
        ec = asio::error::broken_pipe;
    co_return ec;
}

std::string describe_io_error(std::error_code ec) {
    return win::os_error_text(static_cast<std::uint32_t>(ec.value()));
}

}  // namespace qel::ipc
