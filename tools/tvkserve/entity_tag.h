// The entity tag (ETag) of a download, from what the download is made of
// rather than from its bytes: the package's content hash and the tag's
// inputs (version, parameters text, the brand's blocks). So a request that
// needs only the tag (HEAD, If-None-Match, If-Range) gets it without the
// download being built. SHA-256, cut to 128 bits: distinct downloads cannot
// be made to share a tag, even by a client that chooses the parameters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/packaging/sha256.h"

namespace tvkserve {

using packaging::Sha256Digest;
using packaging::Sha256Stream;

struct EntityTagInputs {
    const Sha256Digest* package_content = nullptr;  // the whole package file
    const Sha256Digest* brand_blocks = nullptr;     // the brand's icon and picture
    std::int32_t version = 0;
    std::string_view params_text;
    // The digest of the public key that signs the tag, or null when tags
    // are not signed: a new key makes a new entity.
    const Sha256Digest* signing_key = nullptr;
};

// A strong entity tag: 32 lower-case hexadecimal digits in double quotes.
std::string EntityTag(const EntityTagInputs& inputs);

}  // namespace tvkserve
