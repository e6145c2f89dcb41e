#include "tools/tvkserve/catalog.h"

#include "package/package_layout.h"

#include "tools/package_writer/archive_markers.h"
#include "tools/packaging/base64_encode.h"
#include "tools/packaging/tag_content.h"
#include "tools/tvkserve/entity_tag.h"
#include "tools/tvkserve/regular_file.h"

namespace tvkserve {

namespace {

// A brand's icon or picture goes into every tag of the brand: its archive
// markers are warned of once, at start, as `tvkpack tag` warns of them.
void WarnOfArchiveMarkers(std::ostream& warnings, const std::string& entry,
                          const std::filesystem::path& path, ByteView bytes) {
    const std::string holder = "'" + packaging::PathToUtf8(path) + "'";
    const std::vector<package_writer::MarkerMatch> matches =
        package_writer::FindArchiveMarkers(bytes);
    for (std::size_t i = 0; i < matches.size() && i < package_writer::kMarkersNamed; ++i) {
        warnings << "tvkserve: warning: " << entry << ": "
                 << package_writer::MarkerWarning(holder, *matches[i].marker,
                                                  "offset " + std::to_string(matches[i].offset))
                 << "\n";
    }
    if (matches.size() > package_writer::kMarkersNamed) {
        warnings << "tvkserve: warning: " << entry << ": "
                 << package_writer::MoreMarkersWarning(
                        holder, matches.size() - package_writer::kMarkersNamed)
                 << "\n";
    }
}

}  // namespace

Catalog::Catalog(const ServeConfig& config, std::ostream& warnings) {
    if (config.tag_signing_key) {
        try {
            constexpr std::uint64_t kMostKeyFileBytes = 64 * 1024;
            tag_key_ = packaging::TagSigningKey::FromPem(
                RegularFile(*config.tag_signing_key).ReadAll(kMostKeyFileBytes));
            tag_key_digest_ = packaging::Sha256(tag_key_->PublicKeyDer());
        } catch (const packaging::CommandError& error) {
            throw ConfigError("tag_signing.key: '" +
                              packaging::PathToUtf8(*config.tag_signing_key) +
                              "': " + error.what());
        }
    }
    for (const PackageEntry& entry : config.packages) {
        const std::string name = "packages." + entry.id + ".file";
        try {
            auto package = std::make_shared<const ServedPackage>(entry.file);
            for (const std::string& warning : package->warnings()) {
                warnings << "tvkserve: warning: " << name << ": " << warning << "\n";
            }
            packages_.emplace(entry.id, std::move(package));
        } catch (const packaging::CommandError& error) {
            throw ConfigError(name + ": '" + packaging::PathToUtf8(entry.file) +
                              "': " + error.what());
        }
    }
    for (const BrandEntry& entry : config.brands) {
        auto brand = std::make_shared<const ServedBrand>(entry);
        const std::string name = "brands." + entry.id;
        if (entry.icon) {
            WarnOfArchiveMarkers(warnings, name + ".icon", *entry.icon, brand->icon());
        }
        if (entry.picture) {
            WarnOfArchiveMarkers(warnings, name + ".picture", *entry.picture, brand->picture());
        }
        brands_.emplace(entry.id, std::move(brand));
    }
}

DownloadDescription Catalog::Describe(const DownloadSelection& selection) const {
    DownloadDescription description;
    description.package_id = selection.package->id;
    description.brand_id = selection.brand->id;
    description.package = packages_.find(selection.package->id)->second;
    description.brand = brands_.find(selection.brand->id)->second;
    description.params_text = selection.params_text;
    description.tag_key = tag_key_;
    const std::string& params = description.params_text;
    const ServedBrand& brand = *description.brand;
    const std::size_t params_size =
        tag_key_ ? packaging::SignedParamsSize(params, tag_key_->signature_text_size())
                 : params.size();
    description.version = packaging::CheckTagContent(
        ByteView(reinterpret_cast<const std::uint8_t*>(params.data()), params.size()),
        brand.icon().size(), brand.picture().size(), std::nullopt);
    const std::uint64_t params_block = packaging::Base64EncodedSize(params_size);
    if (params_block > static_cast<std::uint64_t>(package_layout::kBlockSizeLimit)) {
        throw packaging::CommandError("the signed parameters' base64 text exceeds the block limit");
    }
    description.size = description.package->TaggedSize(
        description.version, brand.icon().size() + brand.picture().size() + params_block);
    description.etag =
        EntityTag({&description.package->content_hash(), &brand.blocks_digest(),
                   description.version, params, tag_key_ ? &tag_key_digest_ : nullptr});
    return description;
}

std::shared_ptr<const TaggedDownload> Catalog::Tag(const DownloadDescription& description) {
    if (!description.tag_key) {
        return description.package->Tag(*description.brand, description.params_text,
                                        description.version);
    }
    // Signed only now that the table's bytes are sent.
    const ServedBrand& brand = *description.brand;
    const std::string signature = description.tag_key->Sign(packaging::TagSignatureMessage(
        description.params_text, brand.icon_digest(), brand.picture_digest()));
    return description.package->Tag(brand,
                                    packaging::SignedParamsText(description.params_text, signature),
                                    description.version);
}

}  // namespace tvkserve
