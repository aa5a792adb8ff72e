#include "sandbox/lifecycle/output_pump.h"

#include <array>

#include <asio/buffer.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>

#include "common/async/task.h"
#include "sandbox/lifecycle/lifecycle.h"
#include "sandbox/lifecycle/line_splitter.h"

namespace qel::sandbox {
namespace {

asio::awaitable<void> read_stream(asio::windows::stream_handle pipe, std::string prefix,
                                  std::shared_ptr<PendingLines> pending,
                                  std::shared_ptr<RunOutput> run) {
    LineSplitter splitter;
    const LineSplitter::Emit emit = [&](std::string line) {
        std::string entry = prefix + line;
        run->add(entry);
        pending->push(std::move(entry));
    };
    std::array<char, 8192> buf;
    for (;;) {
        auto [ec, n] = co_await pipe.async_read_some(
            asio::buffer(buf), asio::experimental::as_tuple(asio::use_awaitable));
        if (ec) {
            // The end of the stream (a broken pipe once the child is gone) or a read error.
            if (ec == asio::error::broken_pipe || ec == asio::error::eof)
                splitter.finish(emit);
            break;
        }
        if (!splitter.feed(std::string_view(buf.data(), n), emit))
            break;
    }
    pending->close();
    run->stream_ended();
}

asio::awaitable<void> forward_lines(std::shared_ptr<Sandbox> sandbox,
                                    std::shared_ptr<PendingLines> pending) {
    for (;;) {
        auto changed = pending->changed()->arm();  // armed before looking: no wake-up is lost
        bool closed = false;
        std::deque<std::string> lines = pending->take(closed);
        for (std::string& line : lines)
            co_await push_log(sandbox, std::move(line));
        if (lines.empty()) {
            if (closed)
                co_return;
            co_await changed.wait();
        }
    }
}

}  // namespace

void start_pumps(asio::io_context& io, std::shared_ptr<Sandbox> sandbox,
                 asio::windows::stream_handle out, asio::windows::stream_handle err,
                 std::shared_ptr<RunOutput> run) {
    auto out_lines = std::make_shared<PendingLines>();
    auto err_lines = std::make_shared<PendingLines>();
    // Standard output first.
    async::spawn_detached(io, log::Target::sandbox_lifecycle,
                          read_stream(std::move(out), "[out] ", out_lines, run));
    async::spawn_detached(io, log::Target::sandbox_lifecycle, forward_lines(sandbox, out_lines));
    async::spawn_detached(io, log::Target::sandbox_lifecycle,
                          read_stream(std::move(err), "[err] ", err_lines, run));
    async::spawn_detached(io, log::Target::sandbox_lifecycle, forward_lines(sandbox, err_lines));
}

}  // namespace qel::sandbox
