#pragma once
// Text conversion between UTF-8 (the agent's strings) and UTF-16 (the Windows API's).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qel {

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Drops an incomplete UTF-8 sequence at the end of s, which a byte count cut through valid
// UTF-8 leaves behind; whole characters stay.
void cut_to_utf8_boundary(std::string& s);

constexpr bool is_surrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Calls emit(cp) for each code point of UTF-16 text, in order: a surrogate pair as the code
// point it encodes, an unpaired surrogate as itself (no code point lies in that range).
template <class F>
void walk_utf16(std::u16string_view t, F&& emit) {
    for (std::size_t i = 0; i < t.size(); ++i) {
        const char32_t u = t[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 &&
            t[i + 1] <= 0xDFFF) {
            emit(0x10000 + ((u - 0xD800) << 10) + (t[i + 1] - 0xDC00));
            ++i;
        } else {
            emit(u);
        }
    }
}

// Appends the UTF-8 form of a code point; a surrogate becomes its three-byte form, which is
// not valid UTF-8, so callers replace it first.
void append_utf8(std::string& out, char32_t cp);

// False when the text holds an unpaired surrogate.
bool is_valid_utf16(std::u16string_view text);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view text);
// UTF-16 to UTF-8; nothing when the text holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::u16string_view text);
// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

#if defined(_WIN32)
static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

inline std::u16string_view as_u16(std::wstring_view w) {
    return {reinterpret_cast<const char16_t*>(w.data()), w.size()};
}
inline std::wstring to_wide(std::string_view utf8) {
    std::u16string s = utf8_to_utf16(utf8);
    return {reinterpret_cast<const wchar_t*>(s.data()), s.size()};
}
inline std::string to_utf8_lossy(std::wstring_view w) {
    return utf16_to_utf8_lossy(as_u16(w));
}
inline std::optional<std::string> to_utf8(std::wstring_view w) {
    return utf16_to_utf8(as_u16(w));
}
#endif

}  // namespace qel
