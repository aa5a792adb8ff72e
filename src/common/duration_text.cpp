#include "common/duration_text.h"

#include <fmt/format.h>

namespace qel {

std::string duration_text(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0)
        return fmt::format("{} s", d.count() / 1000);
    return fmt::format("{} ms", d.count());
}

}  // namespace qel
