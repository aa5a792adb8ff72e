#include <windows.h>

#include <string>

#include "sandbox/config/config_file.h"
#include "sandbox/config/tun_alias.h"

namespace qel::sandbox {

std::optional<std::string> tun_alias_from_config() {
    const std::wstring path = config_path();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::string bytes;
    char buf[65536];
    DWORD n = 0;
    bool ok = true;
    while ((ok = ReadFile(h, buf, sizeof buf, &n, nullptr) != 0) && n > 0)
        bytes.append(buf, n);
    CloseHandle(h);
    if (!ok)
        return std::nullopt;
    return tun_alias_from_config_text(bytes);
}

}  // namespace qel::sandbox
