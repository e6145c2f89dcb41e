// What the edge holds per isolate and does per request, on the shared C++
// of the server: the configuration; each package as its manifest describes
// it (a tag source, never its body); each brand's icon and picture, held
// once, with their checksum sums and digests; and per request the plan of
// its answer and, when the answer sends them, the tag's own bytes.
//
// The edge's JavaScript fetches what this names (manifests, images) and
// computes what needs WebCrypto (the links' HMACs, the digests of entity
// tags and brands, the tag signature); each step that needs such a result
// asks for it and is run again with it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "tools/download/entity_tag_input.h"
#include "tools/download/package_manifest.h"
#include "tools/download/tag_source.h"
#include "tools/edge_tagger/edge_config.h"

namespace edge_tagger {

using download::Bytes;
using download::Digest;

// A step's answer: JSON for the edge's JavaScript, and bytes beside it.
struct StepResult {
    nlohmann::ordered_json json;
    Bytes bytes;
};

class EdgeContent {
  public:
    explicit EdgeContent(EdgeConfig config) : config_(std::move(config)) {}

    // What the JavaScript fetches and which secrets it reads.
    nlohmann::ordered_json Summary() const;

    // A package from its manifest's text; its table offset, size, field
    // offsets and where its signed table lies in this module's memory.
    // Throws packaging::CommandError, download::ConfigError.
    nlohmann::ordered_json AddPackage(const std::string& id, std::string_view manifest_text);

    // A brand's icon and picture (empty when it has none), checked as
    // `tvkpack tag` checks them; the bytes whose SHA-256 names them
    // together (download::BrandBlocksInput) and where they lie in memory.
    StepResult AddBrand(const std::string& id, Bytes icon, Bytes picture);
    // The SHA-256 of those bytes, of the icon and of the picture.
    void SetBrandDigests(const std::string& id, const Digest& blocks, const Digest& icon,
                         const Digest& picture);

    // The tag signing key: the digest of its public key (DER
    // SubjectPublicKeyInfo) and the length of its signatures in base64url.
    void SetTagKey(const Digest& public_key_digest, std::size_t signature_text_size);

    // The answer to a request (see edge_exports.cpp for the JSON).
    StepResult Plan(const nlohmann::json& request) const;

    // The message a signed tag's signature covers.
    std::string SignatureMessage(const std::string& brand_id, const std::string& params_text) const;

    // The tag's own bytes and where its pieces come from.
    StepResult Tag(const nlohmann::json& request, std::optional<Bytes> signature) const;

  private:
    struct HeldBrand {
        Bytes icon;
        Bytes picture;
        tag_writer::BlockSum icon_sum;
        tag_writer::BlockSum picture_sum;
        std::optional<Digest> blocks_digest;
        std::optional<Digest> icon_digest;
        std::optional<Digest> picture_digest;
    };
    struct HeldPackage {
        Digest content_hash{};
        std::unique_ptr<const download::TagSource> source;
    };
    struct TagKey {
        Digest public_key_digest{};
        std::size_t signature_text_size = 0;
    };

    const HeldBrand& Brand(const std::string& id) const;
    const HeldPackage& Package(const std::string& id) const;

    EdgeConfig config_;
    std::map<std::string, std::unique_ptr<const HeldPackage>, std::less<>> packages_;
    std::map<std::string, std::unique_ptr<HeldBrand>, std::less<>> brands_;
    std::optional<TagKey> tag_key_;
};

}  // namespace edge_tagger
