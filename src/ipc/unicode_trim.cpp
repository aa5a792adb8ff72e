#include "ipc/unicode_trim.h"

#include <algorithm>
#include <cstdint>

namespace qel::ipc {
namespace {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The code point that starts at s[i] and its length. The text is valid UTF-8; a truncated
// sequence still never reaches past the end.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    len = std::min<std::size_t>(b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4, s.size() - i);
    char32_t cp = len == 1 ? b : b & (0x3F >> (len - 1));
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k) {
        cp = (cp << 6) | (static_cast<std::uint8_t>(s[i + k]) & 0x3F);
    }
    return cp;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
    std::size_t len = 0;
    while (!text.empty() && is_white_space(decode_at(text, 0, len)))
        text.remove_prefix(len);
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80)
            --start;
        if (!is_white_space(decode_at(text, start, len)))
            break;
        text.remove_suffix(text.size() - start);
    }
    return text;
}

}  // namespace qel::ipc
