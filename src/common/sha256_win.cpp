#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <cstdlib>

#include "common/sha256.h"

namespace qel {
namespace {

// A digest has no failure the caller could act on: CNG's SHA-256 provider is part of the
// system, and a system without it cannot run the agent. Stop rather than hand out a hash of
// nothing.
void require(NTSTATUS status) {
    if (!BCRYPT_SUCCESS(status))
        std::abort();
}

// Opened once for the life of the process; CNG allows concurrent hashes on one provider.
BCRYPT_ALG_HANDLE sha256_provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        require(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
        return h;
    }();
    return provider;
}

struct HashHandle {
    BCRYPT_HASH_HANDLE h = nullptr;
    HashHandle() = default;
    HashHandle(const HashHandle&) = delete;
    HashHandle& operator=(const HashHandle&) = delete;
    ~HashHandle() {
        if (h)
            BCryptDestroyHash(h);
    }
};

}  // namespace

std::array<std::uint8_t, 32> sha256(std::string_view bytes) {
    HashHandle hash;
    // No object buffer: CNG allocates the hash state itself.
    require(BCryptCreateHash(sha256_provider(), &hash.h, nullptr, 0, nullptr, 0, 0));
    // BCryptHashData takes a 32-bit length.
    constexpr std::size_t kChunk = 1u << 30;
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const std::size_t n = std::min(left, kChunk);
        require(BCryptHashData(hash.h, reinterpret_cast<PUCHAR>(const_cast<char*>(p)),
                               static_cast<ULONG>(n), 0));
        p += n;
        left -= n;
    }
    std::array<std::uint8_t, 32> digest{};
    require(BCryptFinishHash(hash.h, digest.data(), static_cast<ULONG>(digest.size()), 0));
    return digest;
}

}  // namespace qel
