// Tag signing in the Windows builds: checking a signature with Windows' own
// calls (crypt32 reads the public key, BCrypt verifies); signing needs the
// native tvkpack or tvkserve, which sign with OpenSSL.
#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include "tools/packaging/base64_url.h"
#include "tools/packaging/sha256.h"
#include "tools/packaging/tag_signature.h"

namespace packaging {

namespace {

struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};
struct KeyCloser {
    void operator()(BCRYPT_KEY_HANDLE key) const { BCryptDestroyKey(key); }
};

}  // namespace

std::unique_ptr<const TagSigningKey> TagSigningKey::Load(const std::filesystem::path&) {
    return FromPem({});
}

std::unique_ptr<const TagSigningKey> TagSigningKey::FromPem(Bytes) {
    throw CommandError(
        "this tvkpack (the Windows build) cannot sign tags; sign with tvkpack on Linux or with "
        "tvkserve's tag_signing");
}

bool VerifyTagSignature(const Bytes& public_key_der, std::string_view message,
                        std::string_view signature_text) {
    CERT_PUBLIC_KEY_INFO* info = nullptr;
    DWORD info_size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, public_key_der.data(),
                             static_cast<DWORD>(public_key_der.size()), CRYPT_DECODE_ALLOC_FLAG,
                             nullptr, &info, &info_size)) {
        throw CommandError("the public key is not DER SubjectPublicKeyInfo");
    }
    const std::unique_ptr<void, LocalFreer> info_owner(info);
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, info, 0, nullptr, &handle)) {
        throw CommandError("Windows cannot use the public key");
    }
    const std::unique_ptr<void, KeyCloser> key(handle);
    DWORD bits = 0;
    ULONG got = 0;
    if (BCryptGetProperty(handle, BCRYPT_KEY_LENGTH, reinterpret_cast<PUCHAR>(&bits), sizeof bits,
                          &got, 0) != 0 ||
        bits < static_cast<DWORD>(kLeastTagKeyBits)) {
        throw CommandError("the public key is not an RSA key of 2048 bits or more");
    }
    std::optional<Bytes> signature = Base64UrlDecode(signature_text);
    if (!signature) {
        return false;
    }
    Sha256Digest digest = Sha256(Bytes(message.begin(), message.end()));
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    return BCryptVerifySignature(handle, &padding, digest.data(), static_cast<ULONG>(digest.size()),
                                 signature->data(), static_cast<ULONG>(signature->size()),
                                 BCRYPT_PAD_PKCS1) == 0;
}

}  // namespace packaging
