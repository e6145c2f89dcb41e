#include "tools/download/tag_source.h"

#include <string>

#include "package/package_layout.h"
#include "tools/packaging/base64_encode.h"
#include "tools/packaging/tag_content.h"
#include "tools/packaging/tag_signature.h"

namespace download {

namespace {

using packaging::CommandError;

tag_writer::TagWriter MakeWriter(Bytes signed_table) {
    try {
        return tag_writer::TagWriter(std::move(signed_table),
                                     tag_writer::TagPlacement::kInsideSignature);
    } catch (const tag_writer::TagWriterError& error) {
        throw CommandError(std::string("cannot tag its signature: ") + error.what());
    }
}

}  // namespace

TagSource::TagSource(const TagLayout& layout, Bytes signed_table, tag_writer::PeChecksumSum prefix)
    : layout_(layout), writer_(MakeWriter(std::move(signed_table))), prefix_(prefix) {
    if (layout_.head_size() > layout_.table_offset ||
        layout_.checksum_offset + kTagFieldSize > layout_.table_offset) {
        throw CommandError("its certificate table overlaps its headers");
    }
    checksum_ =
        tag_writer::TagChecksum(prefix_, layout_.table_offset, writer_.signed_table(),
                                writer_.Pieces({}));
}

std::uint64_t TagSource::TaggedSize(std::int32_t version, std::size_t blocks_size) const {
    std::uint64_t size = 0;
    try {
        size = layout_.table_offset + writer_.TableSize(version, blocks_size);
    } catch (const tag_writer::TagWriterError& error) {
        throw CommandError(std::string("cannot tag its signature: ") + error.what());
    }
    packaging::CheckPackageSize(size);
    return size;
}

TaggedTable TagSource::Tag(const tag_writer::TagBlocks& blocks, const tag_writer::BlockSum& icon,
                           const tag_writer::BlockSum& picture) const {
    std::optional<TaggedTable> tagged;
    try {
        tagged.emplace(writer_.Pieces(blocks));
    } catch (const tag_writer::TagWriterError& error) {
        throw CommandError(std::string("cannot tag its signature: ") + error.what());
    }
    tagged->size = layout_.table_offset + tagged->table.size();
    packaging::CheckPackageSize(tagged->size);
    tagged->size_field = static_cast<std::uint32_t>(tagged->table.size());
    if (layout_.checksum_set) {
        tagged->checksum = checksum_.Of(layout_.size_offset, tagged->table, icon, picture);
    }
    return std::move(*tagged);
}

DescribedTag DescribeTag(const TagSource& source, std::string_view params_text,
                         std::size_t icon_size, std::size_t picture_size,
                         std::optional<std::size_t> signature_text_size) {
    const std::size_t params_size =
        signature_text_size ? packaging::SignedParamsSize(params_text, *signature_text_size)
                            : params_text.size();
    DescribedTag described;
    described.version = packaging::CheckTagContent(
        ByteView(reinterpret_cast<const std::uint8_t*>(params_text.data()), params_text.size()),
        icon_size, picture_size, std::nullopt);
    const std::uint64_t params_block = packaging::Base64EncodedSize(params_size);
    if (params_block > static_cast<std::uint64_t>(package_layout::kBlockSizeLimit)) {
        throw CommandError("the signed parameters' base64 text exceeds the block limit");
    }
    described.size = source.TaggedSize(
        described.version, icon_size + picture_size + static_cast<std::size_t>(params_block));
    return described;
}

}  // namespace download
