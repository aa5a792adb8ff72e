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
    walk_utf16(text, [&](char32_t c) {
        switch (c) {
            case '\\':
                out += "\\\\";
                return;
            case '"':
                out += "\\\"";
                return;
            case '\t':
                out += "\\t";
                return;
            case '\r':
                out += "\\r";
                return;
            case '\n':
                out += "\\n";
                return;
            case 0:
                out += "\\0";
                return;
            default:
                break;
        }
        if (is_surrogate(c) || !prints(c))  // an unpaired surrogate has no form but this
            fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(c));
        else
            append_utf8(out, c);
    });
    out += "\"";
    return out;
}

std::string debug_quote(std::string_view utf8) {
    return debug_quote(utf8_to_utf16(utf8));
}

}  // namespace qel
