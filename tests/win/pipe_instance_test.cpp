#include <gtest/gtest.h>

#include <windows.h>
// windows.h first: the other Windows headers depend on it.
#include <aclapi.h>
#include <sddl.h>

#include "common/utf.h"
#include "ipc/pipe_instance.h"

namespace qel::ipc {
namespace {

std::string descriptor_of(HANDLE h) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS) {
        return "GetSecurityInfo failed";
    }
    LPWSTR text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(
        sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
        nullptr);
    std::string out = to_utf8_lossy(text);
    LocalFree(text);
    LocalFree(sd);
    return out;
}

TEST(PipeInstance, CarriesTheDescriptorWithTheInstanceCreationDeny) {
    asio::io_context io;
    const std::wstring name =
        L"\\\\.\\pipe\\qel-agent-test-" + std::to_wstring(GetCurrentProcessId());
    Result<PipeInstance> first = create_pipe_instance(io, /*first=*/true, name);
    ASSERT_TRUE(first.ok()) << first.error().full();
    // Wine reads (D;;0x4;;;WD) back as LC and GRGW as GWGR.
    EXPECT_EQ(descriptor_of(first->native_handle()),
              "O:SYD:(A;;GA;;;SY)(A;;GA;;;BA)(D;;LC;;;WD)(A;;GWGR;;;AU)");

    // Replacement instances (not "first") are created beside it.
    Result<PipeInstance> second = create_pipe_instance(io, /*first=*/false, name);
    ASSERT_TRUE(second.ok()) << second.error().full();
}

TEST(PipeInstance, ABusyNameIsAnOsError) {
    asio::io_context io;
    const std::wstring name =
        L"\\\\.\\pipe\\qel-agent-busy-" + std::to_wstring(GetCurrentProcessId());
    HANDLE squat = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096,
                                    0, nullptr);
    ASSERT_NE(squat, INVALID_HANDLE_VALUE);
    Result<PipeInstance> r = create_pipe_instance(io, /*first=*/true, name);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().full().find("(os error "), std::string::npos) << r.error().full();
    CloseHandle(squat);
}

}  // namespace
}  // namespace qel::ipc
