#include "win_test_util.h"

#include <filesystem>
#include <thread>
#include <vector>

namespace qel::test {

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
    struct Entry {
        ULONG owner_pid;
        BYTE object_type, flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<std::byte> buf(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG st = query(16 /* SystemHandleInformation */, buf.data(),
                              static_cast<ULONG>(buf.size()), &needed);
        if (st == static_cast<LONG>(0xC0000004)) {  // STATUS_INFO_LENGTH_MISMATCH
            buf.resize(std::max<std::size_t>(buf.size() * 2, needed));
            continue;
        }
        if (st < 0)
            return -1;
        break;
    }
    const ULONG count = *reinterpret_cast<const ULONG*>(buf.data());
    const auto* entries = reinterpret_cast<const Entry*>(buf.data() + sizeof(void*));
    long n = 0;
    for (ULONG i = 0; i < count; ++i)
        n += entries[i].owner_pid == GetCurrentProcessId();
    return n;
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
