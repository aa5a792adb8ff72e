#include "store.h"

#include <windows.h>

#include "../whole_file.h"

namespace qel::fwpdbl {
namespace {

class Lock {
  public:
    Lock() {
        static HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Local\\qel-fwpuclnt-double");
        m_ = mutex;
        WaitForSingleObject(m_, INFINITE);  // an abandoned mutex is acquired too
    }
    ~Lock() { ReleaseMutex(m_); }

  private:
    HANDLE m_;
};

std::string read_all(const std::wstring& path) {
    return test::read_whole_file(path).value_or(std::string());
}

void write_all(const std::wstring& path, const std::string& text) {
    const std::wstring tmp = path + L".tmp";
    HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    FlushFileBuffers(h);
    CloseHandle(h);
    MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

std::wstring state_path() {
    wchar_t buf[32768];
    const DWORD n = GetEnvironmentVariableW(L"QEL_FWP_DOUBLE_STATE", buf, 32768);
    if (n > 0 && n < 32768)
        return std::wstring(buf, n);
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&state_path), &self);
    const DWORD len = GetModuleFileNameW(self, buf, 32768);
    std::wstring dir(buf, len);
    dir.erase(dir.find_last_of(L"\\/") + 1);
    return dir + L"fwpuclnt-state.txt";
}

void with_state(const std::function<bool(State&)>& f) {
    Lock lock;
    const std::wstring path = state_path();
    State s = parse_state(read_all(path));
    if (f(s))
        write_all(path, format_state(s));
}

std::string state_text() {
    Lock lock;
    return read_all(state_path());
}

void clear_state() {
    Lock lock;
    DeleteFileW(state_path().c_str());
}

}  // namespace qel::fwpdbl
