#include "tools/tvkserve/entity_tag.h"

namespace tvkserve {

namespace {

// Names what is hashed, so that a change in how downloads are made can
// change every tag by changing this name.
constexpr std::string_view kFormat = "tvkserve download, tag inside the signature, 1";
// How many bytes of the digest the tag carries.
constexpr std::size_t kTagBytes = 16;

}  // namespace

std::string EntityTag(const EntityTagInputs& inputs) {
    Sha256Stream hash;
    hash.AddNumber(kFormat.size());
    hash.Add(kFormat);
    hash.Add(*inputs.package_content);
    hash.Add(*inputs.brand_blocks);
    hash.AddNumber(static_cast<std::uint64_t>(inputs.version));
    hash.AddNumber(inputs.params_text.size());
    hash.Add(inputs.params_text);
    if (inputs.signing_key) {
        hash.Add(*inputs.signing_key);
    }
    const Sha256Digest digest = hash.Finish();

    static constexpr char kHex[] = "0123456789abcdef";
    std::string tag = "\"";
    for (std::size_t i = 0; i < kTagBytes; ++i) {
        tag += kHex[digest[i] >> 4];
        tag += kHex[digest[i] & 0xF];
    }
    return tag + "\"";
}

}  // namespace tvkserve
