// SHA-256 over data that arrives in parts (a package read in chunks, the
// inputs of an entity tag), with OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include <openssl/evp.h>

#include "tools/packaging/sha256.h"

namespace tvkserve {

using packaging::Sha256Digest;

class Sha256Stream {
  public:
    // Throws std::runtime_error when libcrypto cannot start a digest.
    Sha256Stream();

    void Add(std::span<const std::uint8_t> bytes);
    void Add(std::string_view text);
    // A number as 8 little-endian bytes: lengths in front of the parts, so
    // that no two sequences of parts give the same input.
    void AddNumber(std::uint64_t number);

    Sha256Digest Finish();

  private:
    struct Free {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> context_;
};

}  // namespace tvkserve
