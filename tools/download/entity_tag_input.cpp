#include "tools/download/entity_tag_input.h"

namespace download {

namespace {

// Names what is hashed, so that a change in how downloads are made can
// change every tag by changing this name.
constexpr std::string_view kFormat = "tvkserve download, tag inside the signature, 1";
// How many bytes of the digest the tag carries.
constexpr std::size_t kTagBytes = 16;

using Bytes = std::vector<std::uint8_t>;

// A number as 8 little-endian bytes: lengths in front of the parts, so that
// no two sequences of parts give the same input.
void AddNumber(Bytes& input, std::uint64_t number) {
    for (std::size_t i = 0; i < 8; ++i) {
        input.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
    }
}

void Add(Bytes& input, std::span<const std::uint8_t> bytes) {
    input.insert(input.end(), bytes.begin(), bytes.end());
}

void Add(Bytes& input, std::string_view text) {
    input.insert(input.end(), text.begin(), text.end());
}

}  // namespace

Bytes EntityTagInput(const EntityTagInputs& inputs) {
    Bytes input;
    AddNumber(input, kFormat.size());
    Add(input, kFormat);
    Add(input, *inputs.package_content);
    Add(input, *inputs.brand_blocks);
    AddNumber(input, static_cast<std::uint64_t>(inputs.version));
    AddNumber(input, inputs.params_text.size());
    Add(input, inputs.params_text);
    if (inputs.signing_key) {
        Add(input, *inputs.signing_key);
    }
    return input;
}

Bytes BrandBlocksInput(std::span<const std::uint8_t> icon, std::span<const std::uint8_t> picture) {
    Bytes input;
    input.reserve(16 + icon.size() + picture.size());
    AddNumber(input, icon.size());
    Add(input, icon);
    AddNumber(input, picture.size());
    Add(input, picture);
    return input;
}

std::string EntityTagText(const Digest& digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string tag = "\"";
    for (std::size_t i = 0; i < kTagBytes; ++i) {
        tag += kHex[digest[i] >> 4];
        tag += kHex[digest[i] & 0xF];
    }
    return tag + "\"";
}

}  // namespace download
