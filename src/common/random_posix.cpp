#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "common/random.h"

namespace qel {

Result<void> random_bytes(std::span<std::uint8_t> out) {
    while (!out.empty()) {
        const ssize_t n = getrandom(out.data(), out.size(), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            return Error::os(fmt::format("getrandom: {} (os error {})", std::strerror(err), err),
                             static_cast<std::uint32_t>(err));
        }
        out = out.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

}  // namespace qel
