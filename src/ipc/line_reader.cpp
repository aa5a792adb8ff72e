#include "ipc/line_reader.h"

#include <algorithm>
#include <cstring>

#include <asio/error.hpp>

namespace qel::ipc {
namespace {

bool is_end_of_stream(const std::error_code& ec) {
    return ec == asio::error::eof || ec == asio::error::broken_pipe ||
           ec == asio::error::connection_reset;
}

// Grows the line's storage at most to the bound, so a long line costs no more than it.
void append_bounded(std::string& line, const char* data, std::size_t n, std::size_t max) {
    const std::size_t needed = line.size() + n;
    if (needed > line.capacity()) {
        line.reserve(
            std::min(std::max(needed, line.capacity() * 2), max + LineReader::kBufferSize));
    }
    line.append(data, n);
}

}  // namespace

asio::awaitable<LineReader::Outcome> LineReader::read_line(std::string& line, std::size_t max) {
    line.clear();
    for (;;) {
        if (begin_ == end_) {
            auto [ec, n] = co_await stream_.read_some(buf_);
            if (ec) {
                if (!is_end_of_stream(ec))
                    co_return Outcome{Outcome::failed, ec};
                co_return Outcome{line.empty() ? Outcome::end : Outcome::line, {}};
            }
            begin_ = 0;
            end_ = n;
        }
        const char* start = buf_.data() + begin_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
        const std::size_t take = lf ? static_cast<std::size_t>(lf - start) + 1 : end_ - begin_;
        if (line.size() + take > max + (lf ? 1 : 0)) {
            co_return Outcome{Outcome::too_long, {}};
        }
        append_bounded(line, start, take, max);
        begin_ += take;
        if (lf)
            co_return Outcome{Outcome::line, {}};
    }
}

}  // namespace qel::ipc
