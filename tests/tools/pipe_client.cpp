#include "pipe_client.h"

// windows.h first (pipe_client.h): the shell headers depend on it.
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace qel::tools {
namespace {

// Runs one overlapped operation to its end.
bool complete(HANDLE h, BOOL started, OVERLAPPED& ov, DWORD& n) {
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    return GetOverlappedResult(h, &ov, &n, TRUE) != 0;
}

}  // namespace

std::optional<PipeClient> PipeClient::connect(const std::wstring& name, DWORD wait_ms) {
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    for (;;) {
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return PipeClient(h);
        if (GetTickCount64() >= deadline)
            return std::nullopt;
        if (GetLastError() == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(name.c_str(), 100);
        } else {
            Sleep(50);
        }
    }
}

bool PipeClient::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        const BOOL started = WriteFile(h_, bytes.data() + done, chunk, &n, &ov);
        const bool ok = complete(h_, started, ov, n);
        CloseHandle(ov.hEvent);
        if (!ok || n == 0)
            return false;
        done += n;
    }
    return true;
}

std::optional<std::string> PipeClient::read_line() {
    for (;;) {
        const auto lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            return line;
        }
        char buf[65536];
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        const BOOL started = ReadFile(h_, buf, sizeof buf, &n, &ov);
        const bool ok = complete(h_, started, ov, n);
        CloseHandle(ov.hEvent);
        if (!ok || n == 0) {
            if (pending_.empty())
                return std::nullopt;
            std::string last;
            last.swap(pending_);
            return last;
        }
        pending_.append(buf, n);
    }
}

void PipeClient::close() {
    if (h_ != INVALID_HANDLE_VALUE)
        CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
}

std::wstring default_token_file() {
    PWSTR base = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &base))) {
        path = std::wstring(base) + L"\\com.qel\\agent.tok";
    }
    CoTaskMemFree(base);
    return path;
}

std::optional<std::string> read_token(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in)
        return std::nullopt;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::wstring widen(const std::string& s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string narrow(const std::wstring& w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

void print(const std::string& s) {
    DWORD n;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), static_cast<DWORD>(s.size()), &n, nullptr);
}

}  // namespace qel::tools
