#include "tools/tvkserve/served_brand.h"

#include <string>

#include "package/package_layout.h"
#include "tools/packaging/tag_content.h"
#include "tools/tvkserve/regular_file.h"

namespace tvkserve {

namespace {

using packaging::CommandError;

// The brand's icon or picture, read and checked as `tvkpack tag` reads them.
Bytes ReadBrandFile(const std::filesystem::path& path, const std::string& entry,
                    bool (*is_kind)(ByteView), const char* kind) {
    try {
        const RegularFile file(path);
        if (file.size() > static_cast<std::uint64_t>(package_layout::kBlockSizeLimit)) {
            throw CommandError("it is " + std::to_string(file.size()) +
                               " bytes; a block may be at most 20971520 bytes (20 MiB)");
        }
        Bytes bytes = file.ReadAll(file.size());
        if (!is_kind(bytes)) {
            throw CommandError(std::string("it is not ") + kind + " file");
        }
        return bytes;
    } catch (const CommandError& error) {
        throw ConfigError(entry + ": '" + packaging::PathToUtf8(path) + "': " + error.what());
    }
}

tag_writer::BlockSum SumOf(const Bytes& bytes) {
    tag_writer::BlockSum block;
    block.sum.Add(bytes.data(), bytes.size(), 0);
    block.size = bytes.size();
    return block;
}

}  // namespace

ServedBrand::ServedBrand(const BrandEntry& entry) {
    const std::string name = "brands." + entry.id;
    if (entry.icon) {
        icon_ = ReadBrandFile(*entry.icon, name + ".icon", packaging::IsIconFile, "an .ico");
    }
    if (entry.picture) {
        picture_ =
            ReadBrandFile(*entry.picture, name + ".picture", packaging::IsBitmapFile, "a .bmp");
    }
    // The brand's own tag, as `tvkpack tag` checks it.
    const std::string params_text = entry.params.dump();
    try {
        packaging::CheckTagContent(
            ByteView(reinterpret_cast<const std::uint8_t*>(params_text.data()), params_text.size()),
            icon_.size(), picture_.size(), std::nullopt);
    } catch (const CommandError& error) {
        throw ConfigError(name + ": " + error.what());
    }
    icon_sum_ = SumOf(icon_);
    picture_sum_ = SumOf(picture_);
    Sha256Stream hash;
    hash.AddNumber(icon_.size());
    hash.Add(icon_);
    hash.AddNumber(picture_.size());
    hash.Add(picture_);
    blocks_digest_ = hash.Finish();
    if (!icon_.empty()) {
        icon_digest_ = packaging::Sha256(icon_);
    }
    if (!picture_.empty()) {
        picture_digest_ = packaging::Sha256(picture_);
    }
}

}  // namespace tvkserve
