#include "tools/tvkserve/catalog.h"

#include "tools/package_writer/archive_markers.h"
#include "tools/tvkpack/tool_files.h"

namespace tvkserve {

namespace {

// Entries of finished tags are dropped when the map has grown this much
// beyond the tags still in use.
constexpr std::size_t kPruneSlack = 64;

// The brand's icon or picture, read and checked as `tvkpack tag` reads them.
Bytes ReadBrandFile(const std::filesystem::path& path, const std::string& entry,
                    const std::string& role, bool (*is_kind)(const Bytes&), const char* kind) {
    try {
        const std::uint64_t size = tvkpack::SizeOfFile(path, role);
        if (size > static_cast<std::uint64_t>(package_layout::kBlockSizeLimit)) {
            throw tvkpack::CommandError("it is " + std::to_string(size) +
                                        " bytes; a block may be at most 20971520 bytes (20 MiB)");
        }
        Bytes bytes = tvkpack::ReadWholeFile(path, role, size + 1);
        if (!is_kind(bytes)) {
            throw tvkpack::CommandError(std::string("it is not ") + kind + " file");
        }
        return bytes;
    } catch (const tvkpack::CommandError& error) {
        throw ConfigError(entry + ": '" + tvkpack::PathToUtf8(path) + "': " + error.what());
    }
}

// A brand's icon or picture goes into every tag of the brand: its archive
// markers are warned of once, at start, as `tvkpack tag` warns of them.
void WarnOfArchiveMarkers(std::ostream& warnings, const std::string& entry,
                          const std::filesystem::path& path, const Bytes& bytes) {
    const std::string holder = "'" + tvkpack::PathToUtf8(path) + "'";
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

tvkpack::TagContent BrandContent(const std::string& params_text, const Bytes& icon,
                                 const Bytes& picture) {
    tvkpack::TagContent content;
    content.params_json.assign(params_text.begin(), params_text.end());
    content.icon = icon;
    content.picture = picture;
    return content;
}

}  // namespace

Catalog::Catalog(const ServeConfig& config, std::ostream& warnings) {
    for (const PackageEntry& entry : config.packages) {
        const std::string name = "packages." + entry.id + ".file";
        try {
            auto package = std::make_unique<ServedPackage>(entry.file);
            // Its signature takes a tag: the smallest one, once.
            package->Tag(BrandContent("{}", {}, {}));
            for (const std::string& warning : package->warnings()) {
                warnings << "tvkserve: warning: " << name << ": " << warning << "\n";
            }
            packages_.emplace(entry.id, std::move(package));
        } catch (const tvkpack::CommandError& error) {
            throw ConfigError(name + ": '" + tvkpack::PathToUtf8(entry.file) +
                              "': " + error.what());
        }
    }
    for (const BrandEntry& entry : config.brands) {
        const std::string name = "brands." + entry.id;
        Brand brand;
        if (entry.icon) {
            brand.icon =
                ReadBrandFile(*entry.icon, name + ".icon", "icon", tvkpack::IsIconFile, "an .ico");
            WarnOfArchiveMarkers(warnings, name + ".icon", *entry.icon, brand.icon);
        }
        if (entry.picture) {
            brand.picture = ReadBrandFile(*entry.picture, name + ".picture", "picture",
                                          tvkpack::IsBitmapFile, "a .bmp");
            WarnOfArchiveMarkers(warnings, name + ".picture", *entry.picture, brand.picture);
        }
        // The brand's own tag, as `tvkpack tag` checks it.
        try {
            tvkpack::PrepareTag(BrandContent(entry.params.dump(), brand.icon, brand.picture));
        } catch (const tvkpack::CommandError& error) {
            throw ConfigError(name + ": " + error.what());
        }
        brands_.emplace(entry.id, std::move(brand));
    }
}

std::shared_ptr<const TaggedDownload> Catalog::Download(const DownloadSelection& selection) {
    std::string key = selection.package->id;
    key += '\0';
    key += selection.brand->id;
    key += '\0';
    key += selection.params_text;
    {
        const std::lock_guard lock(tags_mutex_);
        if (const auto found = tags_.find(key); found != tags_.end()) {
            if (auto download = found->second.lock()) {
                return download;
            }
        }
    }
    // Made outside the lock: requests for other tags need not wait for it.
    const Brand& brand = brands_.find(selection.brand->id)->second;
    std::shared_ptr<const TaggedDownload> download =
        packages_.find(selection.package->id)
            ->second->Tag(BrandContent(selection.params_text, brand.icon, brand.picture));

    const std::lock_guard lock(tags_mutex_);
    auto& slot = tags_[key];
    if (auto raced = slot.lock()) {
        return raced;  // another request made the same tag meanwhile
    }
    slot = download;
    if (tags_.size() >= prune_at_) {
        std::erase_if(tags_, [](const auto& entry) { return entry.second.expired(); });
        prune_at_ = tags_.size() + kPruneSlack;
    }
    return download;
}

}  // namespace tvkserve
