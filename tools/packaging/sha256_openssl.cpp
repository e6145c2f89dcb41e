// SHA-256 with OpenSSL's libcrypto (the native build).
#include <openssl/evp.h>

#include "tools/packaging/sha256.h"
#include "tools/packaging/tool_files.h"

namespace packaging {

namespace {

void Require(bool ok) {
    if (!ok) {
        throw CommandError("SHA-256 could not be computed (OpenSSL)");
    }
}

struct FreeContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

struct Sha256Stream::State {
    std::unique_ptr<EVP_MD_CTX, FreeContext> context{EVP_MD_CTX_new()};
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
    Require(state_->context != nullptr &&
            EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) == 1);
}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::Add(std::span<const std::uint8_t> bytes) {
    Require(EVP_DigestUpdate(state_->context.get(), bytes.data(), bytes.size()) == 1);
}

Sha256Digest Sha256Stream::Finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    Require(EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length) == 1 &&
            length == digest.size());
    return digest;
}

}  // namespace packaging
