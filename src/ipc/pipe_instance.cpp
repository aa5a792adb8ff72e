#include "ipc/pipe_instance.h"

#include <windows.h>
// windows.h first: the other Windows headers depend on it.
#include <sddl.h>

#include <asio/bind_executor.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/overlapped_ptr.hpp>

#include "common/win/owned.h"
#include "common/win/unique_handle.h"
#include "common/win_error.h"

namespace qel::ipc {
namespace {

constexpr DWORD kBufferSize = 65536;

std::error_code connect_result(DWORD err) {
    // A client that connected before the wait began, or that has already closed its end,
    // still counts as connected.
    if (err == ERROR_SUCCESS || err == ERROR_PIPE_CONNECTED || err == ERROR_NO_DATA)
        return {};
    return {static_cast<int>(err), asio::error::get_system_category()};
}

}  // namespace

Result<PipeInstance> create_pipe_instance(asio::io_context& io, bool first,
                                          std::wstring_view name) {
    // Freed once the instance has been created (or has failed).
    win::LocalMemory<void> desc;
    const std::wstring sddl(kPipeSddl);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              desc.out(), nullptr)) {
        return Error("convert SDDL: " + win::last_error_hresult_text());
    }
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = desc.get();
    sa.bInheritHandle = FALSE;

    DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (first)
        open_mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    const std::wstring wname(name);
    win::UniqueHandle h(CreateNamedPipeW(
        wname.c_str(), open_mode,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0, &sa));
    if (!h)
        return win::last_os_error();

    asio::error_code ec;
    PipeInstance pipe(io);
    pipe.assign(h.get(), ec);
    if (ec)
        return win::os_error(static_cast<std::uint32_t>(ec.value()));
    h.release();  // the pipe object owns it now
    return pipe;
}

asio::awaitable<std::error_code> wait_for_client(PipeInstance& pipe) {
    auto token = asio::experimental::as_tuple(asio::use_awaitable);
    auto [ec] = co_await asio::async_initiate<decltype(token), void(std::error_code)>(
        [&pipe](auto handler) {
            auto slot = asio::get_associated_cancellation_slot(handler);
            auto ex = asio::get_associated_executor(handler, pipe.get_executor());
            HANDLE h = pipe.native_handle();
            asio::windows::overlapped_ptr ov(
                pipe.get_executor(),
                asio::bind_executor(
                    ex, [handler = std::move(handler)](std::error_code ec, std::size_t) mutable {
                        asio::get_associated_cancellation_slot(handler).clear();
                        std::move(handler)(ec);
                    }));
            OVERLAPPED* raw = ov.get();
            if (slot.is_connected()) {
                slot.assign([h, raw](asio::cancellation_type) { CancelIoEx(h, raw); });
            }
            // A call that succeeds or is pending completes through the port; one that fails
            // at once (including "already connected") queues nothing, so complete it here.
            const BOOL ok = ConnectNamedPipe(h, raw);
            const DWORD err = ok ? ERROR_SUCCESS : GetLastError();
            if (ok || err == ERROR_IO_PENDING) {
                ov.release();
                return;
            }
            ov.complete(connect_result(err), 0);
        },
        token);
    if (ec)
        co_return connect_result(static_cast<DWORD>(ec.value()));
    co_return ec;
}

}  // namespace qel::ipc
