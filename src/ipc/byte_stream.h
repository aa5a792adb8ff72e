#pragma once
// The connection's byte stream: a pipe instance in the product, an in-memory stream in tests.

#include <cstddef>
#include <span>
#include <system_error>
#include <utility>

#include <asio/awaitable.hpp>

namespace qel::ipc {

class ByteStream {
  public:
    virtual ~ByteStream() = default;
    // Reads what is there (at least one byte), or ends with an error; asio::error::eof
    // (or a broken pipe) is the end of the stream.
    virtual asio::awaitable<std::pair<std::error_code, std::size_t>> read_some(
        std::span<char> buf) = 0;
    // Writes every byte, or fails; a write that takes no bytes is a failure.
    virtual asio::awaitable<std::error_code> write_all(std::span<const char> bytes) = 0;
};

}  // namespace qel::ipc
