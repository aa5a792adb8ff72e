#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <atomic>

#include <fmt/format.h>

#include "common/sha256.h"
#include "common/win/owned.h"

namespace qel {
namespace {

Error cng_error(const char* call, NTSTATUS status) {
    return Error(fmt::format("{} failed: NTSTATUS 0x{:08x}", call, static_cast<ULONG>(status)));
}

void close_provider(BCRYPT_ALG_HANDLE h) {
    BCryptCloseAlgorithmProvider(h, 0);
}
using ProviderHandle = win::Owned<BCRYPT_ALG_HANDLE, close_provider>;
using HashHandle = win::Owned<BCRYPT_HASH_HANDLE, BCryptDestroyHash>;

// Opened once for the life of the process, and tried again at the next hash when opening
// failed; CNG allows concurrent hashes on one provider.
Result<BCRYPT_ALG_HANDLE> sha256_provider() {
    static std::atomic<BCRYPT_ALG_HANDLE> provider{nullptr};
    if (BCRYPT_ALG_HANDLE h = provider.load(std::memory_order_acquire))
        return h;
    ProviderHandle opened;
    const NTSTATUS status =
        BCryptOpenAlgorithmProvider(opened.out(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status))
        return cng_error("BCryptOpenAlgorithmProvider", status);
    BCRYPT_ALG_HANDLE expected = nullptr;
    if (!provider.compare_exchange_strong(expected, opened.get(), std::memory_order_acq_rel))
        return expected;  // another thread's is kept, and this one closed
    return opened.release();
}

}  // namespace

Result<Sha256Digest> sha256(std::string_view bytes) {
    Result<BCRYPT_ALG_HANDLE> provider = sha256_provider();
    if (!provider)
        return std::move(provider).error();
    HashHandle hash;
    // No object buffer: CNG allocates the hash state itself.
    NTSTATUS status = BCryptCreateHash(provider.value(), hash.out(), nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status))
        return cng_error("BCryptCreateHash", status);
    // BCryptHashData takes a 32-bit length.
    constexpr std::size_t kChunk = 1u << 30;
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const std::size_t n = std::min(left, kChunk);
        status = BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(p)),
                                static_cast<ULONG>(n), 0);
        if (!BCRYPT_SUCCESS(status))
            return cng_error("BCryptHashData", status);
        p += n;
        left -= n;
    }
    Sha256Digest digest{};
    status = BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
    if (!BCRYPT_SUCCESS(status))
        return cng_error("BCryptFinishHash", status);
    return digest;
}

}  // namespace qel
