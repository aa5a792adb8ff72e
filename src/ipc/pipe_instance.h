#pragma once
// Server instances of the agent's named pipe, registered with the runtime's completion port.

#include <string_view>
#include <system_error>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/windows/stream_handle.hpp>

#include "common/error.h"

namespace qel::ipc {

inline constexpr std::wstring_view kPipeName = L"\\\\.\\pipe\\qel-agent";

// Owner SYSTEM; full access for SYSTEM and Administrators; read/write for Authenticated Users.
// Everyone is denied FILE_CREATE_PIPE_INSTANCE (0x4), which GENERIC_WRITE would otherwise
// carry: no other local account can add an instance of this pipe and pose as the agent. The
// deny follows the SYSTEM and Administrators entries, so the agent still creates its own.
inline constexpr std::wstring_view kPipeSddl =
    L"O:SYD:(A;;GA;;;SY)(A;;GA;;;BA)(D;;0x4;;;WD)(A;;GRGW;;;AU)";

using PipeInstance = asio::windows::stream_handle;

// One overlapped byte-mode instance that rejects remote clients. The first instance of a run
// also demands that no other instance of the name exists (FILE_FLAG_FIRST_PIPE_INSTANCE).
Result<PipeInstance> create_pipe_instance(asio::io_context& io, bool first,
                                          std::wstring_view name = kPipeName);

// Waits for a client on a listening instance; an error_code of 0 means connected.
// Cancelled through the awaiting coroutine's cancellation slot.
asio::awaitable<std::error_code> wait_for_client(PipeInstance& pipe);

}  // namespace qel::ipc
