#include <bcrypt.h>
#include <windows.h>

#include <algorithm>

#include <fmt/format.h>

#include "common/random.h"

namespace qel {

Result<void> random_bytes(std::span<std::uint8_t> out) {
    // The system-preferred generator needs no algorithm handle to open or close. One call
    // takes a ULONG, so very large requests go in pieces.
    while (!out.empty()) {
        const std::size_t n = std::min<std::size_t>(out.size(), 0x10000000u);
        const NTSTATUS st = BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(n),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (st < 0)
            return Error(
                fmt::format("BCryptGenRandom failed, status=0x{:08x}", static_cast<ULONG>(st)));
        out = out.subspan(n);
    }
    return {};
}

}  // namespace qel
