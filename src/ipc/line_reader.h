#pragma once
// Reads request lines through an 8192-byte buffer.

#include <array>
#include <cstddef>
#include <string>
#include <system_error>

#include "ipc/byte_stream.h"

namespace qel::ipc {

class LineReader {
  public:
    static constexpr std::size_t kBufferSize = 8192;

    struct Outcome {
        enum Kind { line, end, too_long, failed } kind;
        std::error_code error;  // for `failed`
    };

    explicit LineReader(ByteStream& stream) : stream_(stream) {}

    // Empties `line`, then appends bytes up to and including the next line feed, or up to the
    // end of the stream. `end` only when the stream ended before any byte; `too_long` once
    // more than `max` bytes came without a line feed (the line then holds `max` bytes at most,
    // and the reader is not usable any more).
    asio::awaitable<Outcome> read_line(std::string& line, std::size_t max);

  private:
    ByteStream& stream_;
    std::array<char, kBufferSize> buf_{};
    std::size_t begin_ = 0, end_ = 0;
};

}  // namespace qel::ipc
