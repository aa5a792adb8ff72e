#include "echo_server.h"

#include <array>

#include <asio/buffer.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "common/async/task.h"
#include "ipc/pipe_instance.h"

namespace qel::bench {
namespace {

asio::awaitable<void> echo(ipc::PipeInstance pipe, std::size_t reply_bytes) {
    const std::string reply = std::string(reply_bytes, 'r') + "\n";
    std::array<char, 8192> buf;
    for (;;) {
        auto [ec, n] = co_await pipe.async_read_some(
            asio::buffer(buf), asio::experimental::as_tuple(asio::use_awaitable));
        if (ec)
            co_return;
        // One reply per line feed received.
        for (std::size_t i = 0; i < n; ++i) {
            if (buf[i] != '\n')
                continue;
            auto [wec, wn] = co_await asio::async_write(
                pipe, asio::buffer(reply), asio::experimental::as_tuple(asio::use_awaitable));
            if (wec)
                co_return;
        }
    }
}

asio::awaitable<void> listen(std::wstring name, std::size_t reply_bytes) {
    asio::io_context& io = *co_await async::current_io();
    Result<ipc::PipeInstance> first = ipc::create_pipe_instance(io, true, name);
    if (!first)
        co_return;
    ipc::PipeInstance listening = std::move(first).value();
    for (;;) {
        if (co_await ipc::wait_for_client(listening))
            continue;
        ipc::PipeInstance connected = std::move(listening);
        Result<ipc::PipeInstance> next = ipc::create_pipe_instance(io, false, name);
        if (!next)
            co_return;
        listening = std::move(next).value();
        async::spawn_detached(io, log::Target::ipc, echo(std::move(connected), reply_bytes));
    }
}

}  // namespace

EchoServer::EchoServer(std::wstring pipe, std::size_t reply_bytes)
    : runtime_(std::move(async::Runtime::build().value())) {
    async::spawn_detached(runtime_->io(), log::Target::ipc, listen(std::move(pipe), reply_bytes));
}

EchoServer::~EchoServer() = default;

}  // namespace qel::bench
