#pragma once
// An in-memory byte stream: the client's bytes come in the given chunks, then the end of the
// stream (or a read error); what the server writes is collected.

#include <deque>
#include <string>

#include <asio/error.hpp>

#include "ipc/byte_stream.h"

namespace qel::test {

class MemoryStream final : public ipc::ByteStream {
  public:
    explicit MemoryStream(std::deque<std::string> chunks) : chunks_(std::move(chunks)) {}

    std::error_code read_error = asio::error::eof;  // what follows the last chunk
    std::error_code write_error;                    // every write fails with it when set
    std::string written;

    asio::awaitable<std::pair<std::error_code, std::size_t>> read_some(
        std::span<char> buf) override {
        if (chunks_.empty())
            co_return std::pair<std::error_code, std::size_t>{read_error, 0};
        std::string& front = chunks_.front();
        const std::size_t n = std::min(buf.size(), front.size());
        std::copy_n(front.data(), n, buf.data());
        front.erase(0, n);
        if (front.empty())
            chunks_.pop_front();
        co_return std::pair<std::error_code, std::size_t>{std::error_code{}, n};
    }

    asio::awaitable<std::error_code> write_all(std::span<const char> bytes) override {
        if (write_error)
            co_return write_error;
        written.append(bytes.data(), bytes.size());
        co_return std::error_code{};
    }

  private:
    std::deque<std::string> chunks_;
};

}  // namespace qel::test
