#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "auth/admission.h"
#include "log_capture.h"

namespace qel::auth {
namespace {

class OwnedHandle {
  public:
    explicit OwnedHandle(HANDLE h) : h_(h) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    HANDLE get() const { return h_; }

  private:
    HANDLE h_;
};

// Wine's GetNamedPipeClientSessionId answers for any handle, so its failure is not shown
// here; the decisions on the two ids are tested natively.
TEST(ConsoleSession, AdmitsALocalClientOfTheConsoleSession) {
    test::clear_captured_events();
    const std::wstring name =
        L"\\\\.\\pipe\\qel-auth-test-" + std::to_wstring(GetCurrentProcessId());
    OwnedHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                        4096, 4096, 0, nullptr));
    ASSERT_NE(server.get(), INVALID_HANDLE_VALUE);
    OwnedHandle client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(client.get(), INVALID_HANDLE_VALUE);
    if (!ConnectNamedPipe(server.get(), nullptr)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
    }

    Result<std::uint32_t> r = check_console_session(server.get());
    ASSERT_TRUE(r.ok()) << r.error().full();
    EXPECT_EQ(*r, WTSGetActiveConsoleSessionId());
    EXPECT_TRUE(test::captured_events().empty());
}

}  // namespace
}  // namespace qel::auth
