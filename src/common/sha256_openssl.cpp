#include <openssl/evp.h>

#include "common/sha256.h"

namespace qel {

Result<Sha256Digest> sha256(std::string_view bytes) {
    Sha256Digest digest{};
    unsigned int len = 0;
    // Only an allocation failure inside OpenSSL makes this fail.
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &len, EVP_sha256(), nullptr) != 1 ||
        len != digest.size()) {
        return Error("EVP_Digest failed");
    }
    return digest;
}

}  // namespace qel
