#pragma once
// The bare echo server the agent is measured against: the same kind of pipe instances
// (byte mode, overlapped, 64 KiB buffers, replaced as each client connects) and the same
// runtime, but no protocol: every request line gets `reply_bytes` bytes and a line feed.

#include <cstddef>
#include <memory>
#include <string>

#include "common/async/runtime.h"

namespace qel::bench {

class EchoServer {
  public:
    EchoServer(std::wstring pipe, std::size_t reply_bytes);
    ~EchoServer();

  private:
    std::unique_ptr<async::Runtime> runtime_;
};

}  // namespace qel::bench
