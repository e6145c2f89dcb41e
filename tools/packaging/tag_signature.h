// Signed tags: the vendor's key signs what a tag hands to the installer, so
// that an installer holding the public key (compiled into its own signed
// image) can tell the vendor's tag from anyone else's; the tag itself lies
// outside what Authenticode signs.
//
// A signed tag's parameters text is the unsigned text (a JSON object) with
// one more member, last: "tvk_sig":"<signature>", inserted right before the
// object's closing '}' (after a ',' when the object has members). The
// signature is RSASSA-PKCS1-v1_5 with SHA-256, in base64url without
// padding, over the message
//
//   "tvk-tag-v1\n" <unsigned parameters text> "\n"
//   <SHA-256 of the icon, lowercase hex, or "-" without one> "\n"
//   <SHA-256 of the picture, likewise>
//
// PKCS#1 v1.5 is deterministic: the same inputs give the same bytes in every
// request, restart and instance, so ranges, resumed downloads and caches
// stay right, and a signature's length is the key's, known before signing.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tools/packaging/sha256.h"
#include "tools/packaging/tool_files.h"

namespace packaging {

// The member a signed tag adds.
inline constexpr std::string_view kTagSignatureMember = "tvk_sig";
// The smallest RSA key that signs tags, in bits.
inline constexpr int kLeastTagKeyBits = 2048;

// The message a tag's signature covers; icon and picture are the digests of
// the blocks, or nothing when the tag carries none.
std::string TagSignatureMessage(std::string_view unsigned_params,
                                const std::optional<Sha256Digest>& icon,
                                const std::optional<Sha256Digest>& picture);

// Throws CommandError unless the text is a JSON object without a top-level
// "tvk_sig" member: the parameters a signed tag can carry.
void CheckSignableParams(std::string_view unsigned_params);

// The signed parameters text: the member inserted. The text must have
// passed CheckSignableParams.
std::string SignedParamsText(std::string_view unsigned_params, std::string_view signature_text);
// Its length, from the lengths alone.
std::size_t SignedParamsSize(std::string_view unsigned_params, std::size_t signature_text_size);

// A signed parameters text taken apart: the text as it was signed and the
// signature's text. Nothing unless the text ends with the member exactly as
// SignedParamsText writes it (so that signing the unsigned text again gives
// the same bytes).
struct SplitParams {
    std::string unsigned_params;
    std::string signature_text;
};
std::optional<SplitParams> SplitSignedParams(std::string_view signed_params);

// An RSA private key that signs tags.
class TagSigningKey {
  public:
    // Reads a PEM private key (PKCS#8 or PKCS#1, unencrypted); throws
    // CommandError unless it is RSA of kLeastTagKeyBits or more. The
    // message never holds the key.
    static std::unique_ptr<const TagSigningKey> Load(const std::filesystem::path& pem_file);
    // The same from the file's bytes (which it wipes).
    static std::unique_ptr<const TagSigningKey> FromPem(Bytes pem);
    virtual ~TagSigningKey() = default;

    // The length of every signature's base64url text.
    virtual std::size_t signature_text_size() const = 0;
    // The public key as DER SubjectPublicKeyInfo, and as PEM.
    virtual Bytes PublicKeyDer() const = 0;
    virtual std::string PublicKeyPem() const = 0;
    // The signature of message, as base64url.
    virtual std::string Sign(std::string_view message) const = 0;
};

// A public key file as tvkpack tag-key writes it: PEM ("-----BEGIN PUBLIC
// KEY-----") or DER, both SubjectPublicKeyInfo. Returns the DER; throws
// CommandError when the file is neither.
Bytes ReadTagPublicKey(const std::filesystem::path& file);

// Whether signature_text is the signature of message by the public key
// (DER SubjectPublicKeyInfo). Throws CommandError when the key cannot be
// used.
bool VerifyTagSignature(const Bytes& public_key_der, std::string_view message,
                        std::string_view signature_text);

}  // namespace packaging
