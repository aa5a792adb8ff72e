#pragma once
// The two pumps that carry a child's standard output and error into the log ring.

#include <memory>

#include <asio/io_context.hpp>
#include <asio/windows/stream_handle.hpp>

#include "sandbox/lifecycle/run_output.h"
#include "sandbox/lifecycle/sandbox_state.h"

namespace qel::sandbox {

// Starts, detached, a reader and a forwarder per stream. Each reader ends at the end of its
// stream, at a read error or at a line that is not valid UTF-8; its forwarder then moves the
// rest of its lines into the ring and ends too.
void start_pumps(asio::io_context& io, std::shared_ptr<Sandbox> sandbox,
                 asio::windows::stream_handle out, asio::windows::stream_handle err,
                 std::shared_ptr<RunOutput> run);

}  // namespace qel::sandbox
