#pragma once
// The doubles' one file reader: what a test wrote for them to find.

#include <windows.h>

#include <optional>
#include <string>

namespace qel::test {

// The whole file, or nothing when it cannot be opened. Shared for reading with everyone, so
// that a test may rewrite it at any time.
inline std::optional<std::string> read_whole_file(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::string text;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
        text.append(buf, n);
    CloseHandle(h);
    return text;
}

}  // namespace qel::test
