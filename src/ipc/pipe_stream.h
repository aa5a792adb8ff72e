#pragma once
// A connected pipe instance as the connection's byte stream.

#include "ipc/byte_stream.h"
#include "ipc/pipe_instance.h"

namespace qel::ipc {

class PipeStream final : public ByteStream {
  public:
    explicit PipeStream(PipeInstance& pipe) : pipe_(pipe) {}
    asio::awaitable<std::pair<std::error_code, std::size_t>> read_some(
        std::span<char> buf) override;
    asio::awaitable<std::error_code> write_all(std::span<const char> bytes) override;

  private:
    PipeInstance& pipe_;
};

// Windows I/O errors in the agent's form: "<system message> (os error N)".
std::string describe_io_error(std::error_code ec);

}  // namespace qel::ipc
