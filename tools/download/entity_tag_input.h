// The entity tag (ETag) of a download, from what the download is made of
// rather than from its bytes: the package's content hash and the tag's
// inputs (version, parameters text, the brand's blocks, the signing key).
// So a request that needs only the tag (HEAD, If-None-Match, If-Range) gets
// it without the download being built. SHA-256, cut to 128 bits: distinct
// downloads cannot be made to share a tag, even by a client that chooses
// the parameters.
//
// The bytes hashed are laid out here once; the server hashes them with
// OpenSSL, the edge with WebCrypto, and both send the same tag.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace download {

using Digest = std::array<std::uint8_t, 32>;

struct EntityTagInputs {
    const Digest* package_content = nullptr;  // SHA-256 of the whole package file
    const Digest* brand_blocks = nullptr;     // of BrandBlocksInput
    std::int32_t version = 0;
    std::string_view params_text;  // unsigned
    // The digest of the public key (DER SubjectPublicKeyInfo) that signs the
    // tag, or null when tags are not signed: a new key makes a new entity.
    const Digest* signing_key = nullptr;
};

// The bytes whose SHA-256 the entity tag is cut from.
std::vector<std::uint8_t> EntityTagInput(const EntityTagInputs& inputs);

// The bytes whose SHA-256 names a brand's icon and picture together: each
// one's length as 8 little-endian bytes, then its bytes.
std::vector<std::uint8_t> BrandBlocksInput(std::span<const std::uint8_t> icon,
                                           std::span<const std::uint8_t> picture);

// A strong entity tag from the digest of EntityTagInput: 32 lower-case
// hexadecimal digits in double quotes.
std::string EntityTagText(const Digest& digest);

}  // namespace download
