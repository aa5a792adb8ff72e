#include <fmt/format.h>

#include "common/os_error.h"

namespace qel {

// Both the generic and the system category hold an errno value here.
Error os_error_from(const std::system_error& e) {
    const int code = e.code().value();
    return Error::os(fmt::format("{} (os error {})", std::generic_category().message(code), code),
                     static_cast<std::uint32_t>(code));
}

void clear_os_error() noexcept {}

}  // namespace qel
