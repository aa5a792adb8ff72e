#include "win_test_util.h"

#include <aclapi.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "common/win/security.h"
#include "handle_count.h"

namespace qel::test {

bool set_dacl(const std::wstring& path, const wchar_t* sddl) {
    Result<win::SecurityDescriptor> sd = win::parse_sddl(sddl);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    return sd && GetSecurityDescriptorDacl(sd->get(), &present, &dacl, &defaulted) &&
           SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                 nullptr) == ERROR_SUCCESS;
}

ScopedEnv::ScopedEnv(const wchar_t* name, std::optional<std::wstring> value) : name_(name) {
    wchar_t buf[32768];
    const DWORD n = GetEnvironmentVariableW(name, buf, 32768);
    if (n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND)
        old_ = std::wstring(buf, n);
    SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
}

ScopedEnv::~ScopedEnv() {
    SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr);
}

std::string capture_stderr(const std::function<void()>& f) {
    HANDLE read_end, write_end;
    CreatePipe(&read_end, &write_end, nullptr, 1 << 20);
    HANDLE old = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, write_end);
    f();
    SetStdHandle(STD_ERROR_HANDLE, old);
    CloseHandle(write_end);
    std::string got;
    char buf[4096];
    DWORD n;
    while (ReadFile(read_end, buf, sizeof buf, &n, nullptr) && n > 0)
        got.append(buf, n);
    CloseHandle(read_end);
    return got;
}

long own_handle_count() {
    return tools::handle_count_of(GetCurrentProcessId());
}

std::wstring program_folder() {
    wchar_t buf[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    std::wstring p(buf, n);
    return p.substr(0, p.find_last_of(L"\\/"));
}

WinTempDir::WinTempDir() {
    static int counter = 0;
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    path_ = std::wstring(tmp) + L"qel-wintest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++);
    std::filesystem::create_directories(path_);
}

WinTempDir::~WinTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace qel::test
