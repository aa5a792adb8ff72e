#pragma once
// A text's debug form: between double quotes, with backslash, quote, tab, carriage return,
// line feed and NUL escaped, and any other character that does not print written as
// \u{hex}. Used where an error lists paths.

#include <string>
#include <string_view>

namespace qel {

std::string debug_quote(std::u16string_view text);
std::string debug_quote(std::string_view utf8);

}  // namespace qel
