#pragma once
// Joining a part to a Windows path: a backslash goes between them unless the base is empty,
// already ends in a separator, or is a bare drive ("C:"). Nothing is normalised.

#include <string>
#include <string_view>

namespace qel {

template <class Str>
Str join_path(Str base, std::basic_string_view<typename Str::value_type> part) {
    using C = typename Str::value_type;
    const bool bare_drive =
        base.size() == 2 && base[1] == C(':') &&
        ((base[0] >= C('A') && base[0] <= C('Z')) || (base[0] >= C('a') && base[0] <= C('z')));
    if (!base.empty() && base.back() != C('\\') && base.back() != C('/') && !bare_drive) {
        base.push_back(C('\\'));
    }
    base.append(part);
    return base;
}

}  // namespace qel
