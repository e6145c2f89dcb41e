#include "tools/edge_tagger/edge_content.h"

#include <algorithm>
#include <array>

#include "package/package_layout.h"
#include "tools/download/download_answer.h"
#include "tools/download/download_selection.h"
#include "tools/download/link_check.h"
#include "tools/packaging/base64_encode.h"
#include "tools/packaging/base64_url.h"
#include "tools/packaging/tag_content.h"
#include "tools/packaging/tag_signature.h"

namespace edge_tagger {

namespace {

using packaging::CommandError;
using Json = nlohmann::ordered_json;

// The longest request target (414 beyond it), as the server has it.
constexpr std::size_t kRequestLineLimit = 8 * 1024;

// Where a piece of a tagged table comes from, as the JavaScript reads it.
constexpr int kPieceMade = 0;
constexpr int kPieceSignedTable = 1;
constexpr int kPieceIcon = 2;
constexpr int kPiecePicture = 3;

// The configuration as the shared selection reads it; values match their
// patterns with download::QueryPattern.
class EdgeRules : public download::SelectionRules {
  public:
    explicit EdgeRules(const EdgeConfig& config) : config_(config) {}

    bool HasPackage(std::string_view id) const override { return config_.FindPackage(id); }
    const download::Json* BrandParams(std::string_view id) const override {
        const EdgeBrand* brand = config_.FindBrand(id);
        return brand ? &brand->params : nullptr;
    }
    std::size_t QueryCount() const override { return config_.query.size(); }
    const download::QueryRule& Query(std::size_t index) const override {
        return config_.query[index];
    }
    bool Matches(std::size_t index, const std::string& value) const override {
        return config_.query[index].pattern->FullMatch(value);
    }

  private:
    const EdgeConfig& config_;
};

Json Where(const Bytes& bytes) {
    return Json::array({reinterpret_cast<std::uintptr_t>(bytes.data()), bytes.size()});
}

std::optional<std::string> Field(const nlohmann::json& request, const char* name) {
    const auto found = request.find(name);
    if (found == request.end() || found->is_null()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

Json AnswerJson(const download::Answer& answer, bool send_body) {
    Json fields = Json::array();
    for (const auto& [name, value] : answer.fields) {
        fields.push_back(Json::array({name, value}));
    }
    Json json;
    json["status"] = answer.status;
    json["fields"] = std::move(fields);
    json["content_length"] =
        answer.content_length ? Json(*answer.content_length) : Json(nullptr);
    json["text"] = answer.text;
    json["send_body"] = send_body;
    return json;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    return text;
}

Digest DigestOfHex(const std::string& hex) {
    Digest digest{};
    if (hex.size() != 2 * digest.size()) {
        throw CommandError("a digest is 64 hexadecimal digits");
    }
    for (std::size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return digest;
}

// A brand's icon or picture, checked as `tvkpack tag` checks it.
void CheckBrandFile(const std::string& entry, const std::string& url, const Bytes& bytes,
                    bool (*is_kind)(download::ByteView), const char* kind) {
    if (bytes.size() > static_cast<std::size_t>(package_layout::kBlockSizeLimit)) {
        throw download::ConfigError(entry + ": '" + url + "': it is " +
                                    std::to_string(bytes.size()) +
                                    " bytes; a block may be at most 20971520 bytes (20 MiB)");
    }
    if (!is_kind(bytes)) {
        throw download::ConfigError(entry + ": '" + url + "': it is not " + kind + " file");
    }
}

}  // namespace

Json EdgeContent::Summary() const {
    Json packages = Json::array();
    for (const EdgePackage& package : config_.packages) {
        packages.push_back({{"id", package.id},
                            {"manifest", package.manifest_url},
                            {"body", package.body_url}});
    }
    Json brands = Json::array();
    for (const EdgeBrand& brand : config_.brands) {
        brands.push_back({{"id", brand.id},
                          {"icon", brand.icon_url ? Json(*brand.icon_url) : Json(nullptr)},
                          {"picture", brand.picture_url ? Json(*brand.picture_url) : Json(nullptr)}});
    }
    Json summary;
    summary["packages"] = std::move(packages);
    summary["brands"] = std::move(brands);
    Json keys = Json::array();
    if (config_.links) {
        for (const auto& [id, secret] : config_.links->key_secrets) {
            keys.push_back({{"id", id}, {"secret", secret}});
        }
    }
    summary["link_keys"] = std::move(keys);
    summary["tag_signing_secret"] =
        config_.tag_signing_secret ? Json(*config_.tag_signing_secret) : Json(nullptr);
    return summary;
}

Json EdgeContent::AddPackage(const std::string& id, std::string_view manifest_text) {
    const download::PackageManifest manifest = download::ReadManifest(manifest_text);
    auto package = std::make_unique<HeldPackage>();
    package->content_hash = manifest.content_hash;
    package->source = download::ManifestTagSource(manifest);
    const download::TagLayout& layout = package->source->layout();
    Json json;
    json["file_size"] = layout.file_size;
    json["table_offset"] = layout.table_offset;
    json["checksum_offset"] = layout.checksum_offset;
    json["size_offset"] = layout.size_offset;
    json["signed_table"] = Where(package->source->signed_table());
    packages_[id] = std::move(package);
    return json;
}

StepResult EdgeContent::AddBrand(const std::string& id, Bytes icon, Bytes picture) {
    const EdgeBrand* entry = config_.FindBrand(id);
    if (!entry) {
        throw CommandError("no brand '" + id + "'");
    }
    const std::string name = "brands." + id;
    if (entry->icon_url) {
        CheckBrandFile(name + ".icon", *entry->icon_url, icon, packaging::IsIconFile, "an .ico");
    }
    if (entry->picture_url) {
        CheckBrandFile(name + ".picture", *entry->picture_url, picture, packaging::IsBitmapFile,
                       "a .bmp");
    }
    // The brand's own tag, as `tvkpack tag` checks it.
    const std::string params_text = entry->params.dump();
    try {
        packaging::CheckTagContent(
            download::ByteView(reinterpret_cast<const std::uint8_t*>(params_text.data()),
                               params_text.size()),
            icon.size(), picture.size(), std::nullopt);
    } catch (const CommandError& error) {
        throw download::ConfigError(name + ": " + error.what());
    }
    auto brand = std::make_unique<HeldBrand>();
    brand->icon = std::move(icon);
    brand->picture = std::move(picture);
    brand->icon_sum.sum.Add(brand->icon.data(), brand->icon.size(), 0);
    brand->icon_sum.size = brand->icon.size();
    brand->picture_sum.sum.Add(brand->picture.data(), brand->picture.size(), 0);
    brand->picture_sum.size = brand->picture.size();
    StepResult result;
    result.bytes = download::BrandBlocksInput(brand->icon, brand->picture);
    result.json["icon"] = Where(brand->icon);
    result.json["picture"] = Where(brand->picture);
    brands_[id] = std::move(brand);
    return result;
}

void EdgeContent::SetBrandDigests(const std::string& id, const Digest& blocks, const Digest& icon,
                                  const Digest& picture) {
    const auto found = brands_.find(id);
    if (found == brands_.end()) {
        throw CommandError("no brand '" + id + "' is loaded");
    }
    HeldBrand& brand = *found->second;
    brand.blocks_digest = blocks;
    brand.icon_digest = brand.icon.empty() ? std::nullopt : std::optional<Digest>(icon);
    brand.picture_digest = brand.picture.empty() ? std::nullopt : std::optional<Digest>(picture);
}

void EdgeContent::SetTagKey(const Digest& public_key_digest, std::size_t signature_text_size) {
    tag_key_ = TagKey{public_key_digest, signature_text_size};
}

const EdgeContent::HeldBrand& EdgeContent::Brand(const std::string& id) const {
    const auto found = brands_.find(id);
    if (found == brands_.end() || !found->second->blocks_digest) {
        throw CommandError("brand '" + id + "' is not loaded");
    }
    return *found->second;
}

const EdgeContent::HeldPackage& EdgeContent::Package(const std::string& id) const {
    const auto found = packages_.find(id);
    if (found == packages_.end()) {
        throw CommandError("package '" + id + "' is not loaded");
    }
    return *found->second;
}

StepResult EdgeContent::Plan(const nlohmann::json& request) const {
    StepResult result;
    const std::string method = request.at("method").get<std::string>();
    const bool head = method == "HEAD";
    const auto answer = [&](const download::Answer& planned, bool send_body) {
        result.json = AnswerJson(planned, send_body && !head);
        return result;
    };
    // What no request may be. A body the request may carry is not read.
    if (method != "GET" && !head) {
        return answer(download::TextAnswer(405, "only GET and HEAD are allowed",
                                           {{"Allow", "GET, HEAD"}}),
                      true);
    }
    std::string target = request.at("target").get<std::string>();
    if (target.size() > kRequestLineLimit) {
        return answer(download::TextAnswer(414, "the request line is too long"), true);
    }
    if (request.value("has_body", false)) {
        return answer(download::TextAnswer(400, "a download request carries no body"), true);
    }

    std::optional<download::LinkFailure> link_failure;
    if (config_.links) {
        const EdgeLinks& links = *config_.links;
        const download::LinkReading reading = download::ReadSignedLink(
            target,
            [&](std::string_view id) {
                return std::any_of(links.key_secrets.begin(), links.key_secrets.end(),
                                   [&](const auto& key) { return key.first == id; });
            },
            links.max_lifetime, request.at("now").get<std::int64_t>());
        bool mac_matches = false;
        if (!reading.check.failure && reading.claimed_mac) {
            const auto mac = request.find("mac_matches");
            if (mac == request.end()) {
                result.json["need"] = "mac";
                result.json["key"] = reading.key_id;
                result.json["message"] = std::string(reading.signed_text);
                result.json["claimed"] = Hex(*reading.claimed_mac);
                return result;
            }
            mac_matches = mac->get<bool>();
        }
        download::LinkDecision decision =
            download::DecideLink(target, download::FinishLinkCheck(reading, mac_matches), links);
        link_failure = decision.failure;
        if (link_failure) {
            result.json["link_failure"] = std::string(download::LinkFailureLabel(*link_failure));
        }
        if (decision.refusal) {
            Json link_failure_label = result.json["link_failure"];
            answer(download::TextAnswer(403, std::move(*decision.refusal)), true);
            result.json["link_failure"] = link_failure_label;
            return result;
        }
        target = std::move(decision.target);
    }
    const Json link_failure_label =
        link_failure ? Json(std::string(download::LinkFailureLabel(*link_failure))) : Json(nullptr);
    const auto finish = [&](const download::Answer& planned, bool send_body) {
        answer(planned, send_body);
        result.json["link_failure"] = link_failure_label;
        return result;
    };

    const auto selected = download::SelectDownload(target, EdgeRules(config_));
    if (const auto* rejection = std::get_if<download::RequestRejection>(&selected)) {
        return finish(download::TextAnswer(rejection->status, rejection->message), true);
    }
    const download::Selection& selection = std::get<download::Selection>(selected);
    const auto package_found = packages_.find(selection.package_id);
    const auto brand_found = brands_.find(selection.brand_id);
    if (package_found == packages_.end() || brand_found == brands_.end() ||
        !brand_found->second->blocks_digest) {
        result.json["need"] = "load";
        result.json["package"] = selection.package_id;
        result.json["brand"] = selection.brand_id;
        return result;
    }
    const HeldPackage& package = *package_found->second;
    const HeldBrand& brand = *brand_found->second;

    download::DescribedTag described;
    try {
        described = download::DescribeTag(
            *package.source, selection.params_text, brand.icon.size(), brand.picture.size(),
            tag_key_ ? std::optional<std::size_t>(tag_key_->signature_text_size) : std::nullopt);
    } catch (const CommandError& error) {
        return finish(download::TextAnswer(
                          400, std::string("the parameters cannot be tagged: ") + error.what()),
                      true);
    }
    const auto digest = request.find("etag_digest");
    if (digest == request.end()) {
        result.json["need"] = "etag";
        result.bytes = download::EntityTagInput(
            {&package.content_hash, &*brand.blocks_digest, described.version,
             selection.params_text, tag_key_ ? &tag_key_->public_key_digest : nullptr});
        return result;
    }

    const EdgePackage& entry = *config_.FindPackage(selection.package_id);
    const download::DownloadAnswer planned = download::PlanDownloadAnswer(
        {Field(request, "if_none_match"), Field(request, "range"), Field(request, "if_range")},
        {download::EntityTagText(DigestOfHex(digest->get<std::string>())), described.size,
         entry.download_name, config_.cache_control});
    finish(planned, planned.status != 304);
    if (planned.sends_download) {
        const download::TagLayout& layout = package.source->layout();
        Json download;
        download["package"] = selection.package_id;
        download["brand"] = selection.brand_id;
        download["params_text"] = selection.params_text;
        download["version"] = described.version;
        download["size"] = described.size;
        download["first"] = planned.first;
        download["last"] = planned.last;
        download["needs_tag"] =
            planned.first < layout.head_size() || planned.last >= layout.table_offset;
        download["sign"] = tag_key_.has_value();
        result.json["download"] = std::move(download);
    }
    return result;
}

std::string EdgeContent::SignatureMessage(const std::string& brand_id,
                                          const std::string& params_text) const {
    const HeldBrand& brand = Brand(brand_id);
    return packaging::TagSignatureMessage(params_text, brand.icon_digest, brand.picture_digest);
}

StepResult EdgeContent::Tag(const nlohmann::json& request, std::optional<Bytes> signature) const {
    const HeldPackage& package = Package(request.at("package").get<std::string>());
    const HeldBrand& brand = Brand(request.at("brand").get<std::string>());
    std::string params_text = request.at("params_text").get<std::string>();
    if (signature) {
        const std::string text = packaging::Base64UrlEncode(*signature);
        if (!tag_key_ || text.size() != tag_key_->signature_text_size) {
            throw CommandError("the tag's signature is not as long as the key's");
        }
        params_text = packaging::SignedParamsText(params_text, text);
    }
    const std::string params_base64 = packaging::Base64Encode(download::ByteView(
        reinterpret_cast<const std::uint8_t*>(params_text.data()), params_text.size()));
    tag_writer::TagBlocks blocks;
    blocks.version = request.at("version").get<std::int32_t>();
    blocks.params_base64 = params_base64;
    blocks.icon = brand.icon;
    blocks.picture = brand.picture;
    const download::TaggedTable tagged =
        package.source->Tag(blocks, brand.icon_sum, brand.picture_sum);

    StepResult result;
    Json pieces = Json::array();
    for (const tag_writer::TablePiece& piece : tagged.table.pieces()) {
        int kind = kPieceMade;
        std::size_t offset = piece.offset;
        switch (piece.source) {
            case tag_writer::PieceSource::kMade: {
                const download::ByteView bytes = tagged.table.BytesOf(piece);
                offset = result.bytes.size();
                result.bytes.insert(result.bytes.end(), bytes.begin(), bytes.end());
                break;
            }
            case tag_writer::PieceSource::kSignedTable:
                kind = kPieceSignedTable;
                break;
            case tag_writer::PieceSource::kIcon:
                kind = kPieceIcon;
                break;
            case tag_writer::PieceSource::kPicture:
                kind = kPiecePicture;
                break;
        }
        pieces.push_back(Json::array({kind, offset, piece.size}));
    }
    result.json["size"] = tagged.size;
    result.json["size_field"] = tagged.size_field;
    result.json["checksum"] = tagged.checksum ? Json(*tagged.checksum) : Json(nullptr);
    result.json["pieces"] = std::move(pieces);
    return result;
}

}  // namespace edge_tagger
