// SHA-256 with OpenSSL's libcrypto (the native build).
#include <openssl/evp.h>

#include "tools/packaging/sha256.h"
#include "tools/packaging/tool_files.h"

namespace packaging {

Sha256Digest Sha256(const std::vector<std::uint8_t>& data) {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        throw CommandError("SHA-256 could not be computed (OpenSSL)");
    }
    return digest;
}

}  // namespace packaging
