#include "common/win_error.h"

#include <windows.h>

#include <fmt/format.h>

#include "common/utf.h"
#include "common/win/owned.h"

namespace qel::win {

std::string system_message(std::uint32_t code) {
    LocalMemory<wchar_t> buf;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(buf.out()), 0, nullptr);
    if (n == 0 || !buf)
        return {};
    std::wstring_view text(buf.get(), n);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                             text.back() == L'\t')) {
        text.remove_suffix(1);
    }
    return to_utf8_lossy(text);
}

std::string os_error_text(std::uint32_t code) {
    std::string msg = system_message(code);
    if (msg.empty())
        msg = fmt::format("Unknown error {}", code);
    return fmt::format("{} (os error {})", msg, code);
}

std::int32_t hresult_from_win32(std::uint32_t code) {
    if (static_cast<std::int32_t>(code) <= 0)
        return static_cast<std::int32_t>(code);
    return static_cast<std::int32_t>((code & 0x0000FFFFu) | 0x80070000u);
}

std::string hresult_text(std::int32_t hr) {
    const std::string msg = system_message(static_cast<std::uint32_t>(hr));
    if (msg.empty())
        return fmt::format("0x{:08X}", static_cast<std::uint32_t>(hr));
    return fmt::format("{} (0x{:08X})", msg, static_cast<std::uint32_t>(hr));
}

Error os_error(std::uint32_t code) {
    return Error::os(os_error_text(code), code);
}

Error last_os_error() {
    return os_error(GetLastError());
}

std::string last_error_hresult_text() {
    return hresult_text(hresult_from_win32(GetLastError()));
}

}  // namespace qel::win
