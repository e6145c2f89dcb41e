#include "tools/package_writer/tag_writer.h"

#include <algorithm>
#include <array>
#include <utility>

namespace package_writer {

namespace {

using namespace package_layout;

void Require(bool condition, const char* message) {
    if (!condition) {
        throw PackageWriterError(message);
    }
}

void CheckBlocks(const TagBlocks& blocks) {
    Require(blocks.version == kPackageVersion1 || blocks.version == kPackageVersion2,
            "the package version must be 1 or 2");
    Require(blocks.version == kPackageVersion2 || (blocks.icon.empty() && blocks.picture.empty()),
            "a version-1 package carries no icon or picture");
    const auto limit = static_cast<std::size_t>(kBlockSizeLimit);
    Require(blocks.params_base64.size() <= limit && blocks.icon.size() <= limit &&
                blocks.picture.size() <= limit,
            "a block is larger than a package may carry");
}

std::size_t TrailerSize(std::int32_t version) {
    return version == kPackageVersion2 ? kTrailerSize : kVersion1TrailerSize;
}

// The blocks in the order the stub reads them, then the gap.
void AppendBlocks(TablePieces& pieces, const TagBlocks& blocks) {
    if (blocks.version == kPackageVersion2) {
        pieces.AppendShared(PieceSource::kIcon, 0, blocks.icon.size());
        pieces.AppendShared(PieceSource::kPicture, 0, blocks.picture.size());
    }
    pieces.AppendMade(ByteView(reinterpret_cast<const std::uint8_t*>(blocks.params_base64.data()),
                               blocks.params_base64.size()));
    pieces.AppendMade(blocks.gap);
}

void AppendTrailer(TablePieces& pieces, const TagBlocks& blocks, std::uint64_t extra_data_offset) {
    const TrailerOverrides& custom = blocks.overrides;
    std::array<std::uint32_t, 6> fields{};
    std::size_t count = 0;
    if (blocks.version == kPackageVersion2) {
        fields[count++] = static_cast<std::uint32_t>(
            custom.icon_size.value_or(static_cast<std::int32_t>(blocks.icon.size())));
        fields[count++] = static_cast<std::uint32_t>(
            custom.picture_size.value_or(static_cast<std::int32_t>(blocks.picture.size())));
    }
    fields[count++] = static_cast<std::uint32_t>(
        custom.params_size.value_or(static_cast<std::int32_t>(blocks.params_base64.size())));
    fields[count++] = static_cast<std::uint32_t>(
        custom.extra_data_offset.value_or(static_cast<std::int32_t>(extra_data_offset)));
    fields[count++] = static_cast<std::uint32_t>(custom.version.value_or(blocks.version));
    fields[count++] = custom.magic.value_or(kPackageMagic);
    Bytes trailer;
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            trailer.push_back(static_cast<std::uint8_t>(fields[i] >> (8 * b)));
        }
    }
    pieces.AppendMade(trailer);
}

}  // namespace

TagBlocks BlocksOf(const TagOptions& options) {
    TagBlocks blocks;
    blocks.version = options.version;
    blocks.params_base64 = options.params_base64;
    blocks.icon = options.icon;
    blocks.picture = options.picture;
    blocks.gap = options.gap;
    blocks.overrides = options.overrides;
    return blocks;
}

TagWriter::TagWriter(Bytes signed_table, TagPlacement placement)
    : signed_table_(std::move(signed_table)), placement_(placement) {
    if (placement_ == TagPlacement::kBehindSignature) {
        return;
    }
    slot_.emplace(signed_table_);
    // Removing a tag reads the DER headers and the restore record, never
    // the blocks, so one tag proves the round trip for tags of every size.
    Require(RemoveTagAttribute(Pieces(TagBlocks{}).Concatenate()) == signed_table_,
            "the signature's encoding would not come back unchanged from the tag");
}

std::size_t TagWriter::TableSize(std::int32_t version, std::size_t blocks_size) const {
    if (placement_ == TagPlacement::kBehindSignature) {
        return signed_table_.size() + blocks_size + TrailerSize(version);
    }
    return slot_->Plan(signed_table_, blocks_size).table_size;
}

TablePieces TagWriter::Pieces(const TagBlocks& blocks) const {
    CheckBlocks(blocks);
    TablePieces pieces(signed_table_, blocks.icon, blocks.picture);
    if (placement_ == TagPlacement::kBehindSignature) {
        // The extra data area starts right behind the certificate table as
        // signed, i.e. behind the signature.
        pieces.AppendShared(PieceSource::kSignedTable, 0, signed_table_.size());
        AppendBlocks(pieces, blocks);
        AppendTrailer(pieces, blocks, signed_table_.size());
        return pieces;
    }
    // Inside the signature: the blocks, filler, the restore record and the
    // trailer (a version-1 trailer behind 8 zero bytes) form the tag
    // attribute's value.
    const TagAttributePlan plan = slot_->Plan(signed_table_, blocks.size());
    slot_->AppendFront(signed_table_, plan, pieces);
    AppendBlocks(pieces, blocks);
    pieces.AppendMade(plan.filler_size, 0);
    pieces.AppendMade(MakeRestoreRecord(signed_table_));
    pieces.AppendMade(kTrailerSize - TrailerSize(blocks.version), 0);
    AppendTrailer(pieces, blocks, plan.value_offset);
    Require(pieces.size() == plan.table_size, "the tag does not have its planned size");
    return pieces;
}

}  // namespace package_writer
