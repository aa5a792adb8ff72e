#include <cstdlib>

#include <openssl/evp.h>

#include "common/sha256.h"

namespace qel {

std::array<std::uint8_t, 32> sha256(std::string_view bytes) {
    std::array<std::uint8_t, 32> digest{};
    unsigned int len = 0;
    // Only an allocation failure inside OpenSSL makes this fail; there is no hash to return then.
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &len, EVP_sha256(), nullptr) != 1 ||
        len != digest.size())
        std::abort();
    return digest;
}

}  // namespace qel
