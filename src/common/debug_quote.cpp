#include "common/debug_quote.h"

#include <fmt/format.h>

#include "common/utf.h"

namespace qel {
namespace {

// Characters that have no visible form: controls, separators other than the blank, format
// characters, and non-characters.
bool prints(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
        return false;
    if (c == 0xAD || c == 0x061C || c == 0x180E)
        return false;
    if ((c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
        (c >= 0x2060 && c <= 0x206F)) {
        return false;
    }
    if (c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB))
        return false;
    if ((c & 0xFFFE) == 0xFFFE)
        return false;
    if (c >= 0xE000 && c <= 0xF8FF)
        return false;  // private use
    return true;
}

}  // namespace

std::string debug_quote(std::u16string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        switch (c) {
            case '\\':
                out += "\\\\";
                continue;
            case '"':
                out += "\\\"";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case 0:
                out += "\\0";
                continue;
            default:
                break;
        }
        const bool surrogate = c >= 0xD800 && c <= 0xDFFF;  // unpaired
        if (surrogate || !prints(c)) {
            fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(c));
        } else {
            out += utf16_to_utf8_lossy(std::u16string_view(text.data() + i - (c >= 0x10000 ? 1 : 0),
                                                           c >= 0x10000 ? 2 : 1));
        }
    }
    out += "\"";
    return out;
}

std::string debug_quote(std::string_view utf8) {
    return debug_quote(utf8_to_utf16(utf8));
}

}  // namespace qel
