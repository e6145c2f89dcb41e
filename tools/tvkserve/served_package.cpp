#include "tools/tvkserve/served_package.h"

#include "tools/packaging/base64_encode.h"
#include "tools/packaging/taggable_package.h"

namespace tvkserve {

namespace {

using tag_writer::WriteU32;

// The open file as the package reading takes it: its checks open the very
// file that was opened, whatever its name is by then.
class OpenPackage : public packaging::PackageBytes {
  public:
    explicit OpenPackage(const RegularFile& file) : file_(file) {}
    std::uint64_t size() const override { return file_.size(); }
    void ReadAt(std::uint8_t* bytes, std::size_t size, std::uint64_t offset) const override {
        file_.ReadAt(bytes, size, offset);
    }
    std::filesystem::path CheckPath() const override { return file_.SamePath(); }

  private:
    const RegularFile& file_;
};

}  // namespace

ServedPackage::ServedPackage(const std::filesystem::path& file) : file_(file) {
    Sha256Stream content;
    packaging::TaggablePackage package = packaging::ReadTaggablePackage(
        OpenPackage(file_), [&](std::span<const std::uint8_t> part) { content.Add(part); });
    content_hash_ = content.Finish();
    head_ = std::move(package.head);
    source_ = std::move(package.source);
    warnings_ = std::move(package.warnings);
}

std::unique_ptr<TaggedDownload> ServedPackage::Tag(const ServedBrand& brand,
                                                   std::string_view params_text,
                                                   std::int32_t version) const {
    const std::string params_base64 = packaging::Base64Encode(
        ByteView(reinterpret_cast<const std::uint8_t*>(params_text.data()), params_text.size()));
    tag_writer::TagBlocks blocks;
    blocks.version = version;
    blocks.params_base64 = params_base64;
    blocks.icon = brand.icon();
    blocks.picture = brand.picture();
    download::TaggedTable tagged = source_->Tag(blocks, brand.icon_sum(), brand.picture_sum());
    auto download = std::make_unique<TaggedDownload>(std::move(tagged.table));
    download->body_end = table_offset();
    download->size = tagged.size;
    download->head = head_;
    const download::TagLayout& layout = source_->layout();
    WriteU32(download->head, layout.size_offset, tagged.size_field);
    if (tagged.checksum) {
        WriteU32(download->head, layout.checksum_offset, *tagged.checksum);
    }
    return download;
}

}  // namespace tvkserve
