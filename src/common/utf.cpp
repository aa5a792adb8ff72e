#include "common/utf.h"

#include <cstdint>

namespace qel {
namespace {

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when it is invalid.
std::size_t decode_utf8(std::string_view s, std::size_t i, char32_t& cp) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<std::uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || is_surrogate(cp))
        return 0;
    return len;
}

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool is_valid_utf8(std::string_view bytes) {
    char32_t cp;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = decode_utf8(bytes, i, cp);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

void cut_to_utf8_boundary(std::string& s) {
    std::size_t lead = s.size();
    for (int back = 0; back < 4 && lead > 0; ++back) {
        --lead;
        const auto b = static_cast<std::uint8_t>(s[lead]);
        if ((b & 0xC0) != 0x80) {
            const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
            if (lead + len > s.size())
                s.resize(lead);
            return;
        }
    }
}

bool is_valid_utf16(std::u16string_view text) {
    bool ok = true;
    walk_utf16(text, [&](char32_t cp) {
        if (is_surrogate(cp))
            ok = false;
    });
    return ok;
}

std::string utf16_to_utf8_lossy(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    walk_utf16(text, [&](char32_t cp) { append_utf8(out, is_surrogate(cp) ? 0xFFFD : cp); });
    return out;
}

std::optional<std::string> utf16_to_utf8(std::u16string_view text) {
    if (!is_valid_utf16(text))
        return std::nullopt;
    return utf16_to_utf8_lossy(text);
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    char32_t cp;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = decode_utf8(text, i, cp);
        if (n == 0) {
            cp = 0xFFFD;
            n = 1;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

}  // namespace qel
