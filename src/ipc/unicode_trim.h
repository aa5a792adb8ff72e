#pragma once

#include <string_view>

namespace qel::ipc {

// Removes leading and trailing Unicode White_Space (U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000) from valid UTF-8.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace qel::ipc
