#include "tools/tvkserve/sha256_stream.h"

#include <stdexcept>

namespace tvkserve {

namespace {

void Require(bool ok) {
    if (!ok) {
        throw std::runtime_error("SHA-256 could not be computed (OpenSSL)");
    }
}

}  // namespace

Sha256Stream::Sha256Stream() : context_(EVP_MD_CTX_new()) {
    Require(context_ != nullptr && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1);
}

void Sha256Stream::Add(std::span<const std::uint8_t> bytes) {
    Require(EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) == 1);
}

void Sha256Stream::Add(std::string_view text) {
    Require(EVP_DigestUpdate(context_.get(), text.data(), text.size()) == 1);
}

void Sha256Stream::AddNumber(std::uint64_t number) {
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(number >> (8 * i));
    }
    Add(bytes);
}

Sha256Digest Sha256Stream::Finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    Require(EVP_DigestFinal_ex(context_.get(), digest.data(), &length) == 1 &&
            length == digest.size());
    return digest;
}

}  // namespace tvkserve
