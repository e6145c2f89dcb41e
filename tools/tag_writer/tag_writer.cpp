#include "tools/tag_writer/tag_writer.h"

#include <array>
#include <utility>

namespace tag_writer {

namespace {

using namespace package_layout;

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

// The blocks in the order the stub reads them.
void AppendBlocks(TablePieces& pieces, const TagBlocks& blocks) {
    if (blocks.version == kPackageVersion2) {
        pieces.AppendShared(PieceSource::kIcon, 0, blocks.icon.size());
        pieces.AppendShared(PieceSource::kPicture, 0, blocks.picture.size());
    }
    pieces.AppendMade(ByteView(reinterpret_cast<const std::uint8_t*>(blocks.params_base64.data()),
                               blocks.params_base64.size()));
}

// The trailer's fields in the order of package_layout.h; a version-1
// trailer leaves out the icon and picture sizes in front.
void AppendTrailer(TablePieces& pieces, const TagBlocks& blocks, std::uint64_t extra_data_offset) {
    std::array<std::uint8_t, kTrailerSize> trailer{};
    WriteU32(trailer, kIconSizeOffset, static_cast<std::uint32_t>(blocks.icon.size()));
    WriteU32(trailer, kPictureSizeOffset, static_cast<std::uint32_t>(blocks.picture.size()));
    WriteU32(trailer, kParamsSizeOffset, static_cast<std::uint32_t>(blocks.params_base64.size()));
    WriteU32(trailer, kExtraDataOffsetOffset, static_cast<std::uint32_t>(extra_data_offset));
    WriteU32(trailer, kVersionOffset, static_cast<std::uint32_t>(blocks.version));
    WriteU32(trailer, kMagicOffset, kPackageMagic);
    pieces.AppendMade(ByteView(trailer).last(TrailerSize(blocks.version)));
}

}  // namespace

TagWriter::TagWriter(Bytes signed_table, TagPlacement placement) : placement_(placement) {
    if (placement_ == TagPlacement::kBehindSignature) {
        behind_table_ = std::move(signed_table);
        return;
    }
    slot_.emplace(std::move(signed_table));
    // Removing a tag reads the DER headers and the restore record, never
    // the blocks, so one tag proves the round trip for tags of every size.
    Require(RemoveTagAttribute(Pieces(TagBlocks{}).Concatenate()) == slot_->signed_table(),
            "the signature's encoding would not come back unchanged from the tag");
}

std::size_t TagWriter::TableSize(std::int32_t version, std::size_t blocks_size) const {
    if (placement_ == TagPlacement::kBehindSignature) {
        return behind_table_.size() + blocks_size + TrailerSize(version);
    }
    return slot_->Plan(blocks_size).table_size;
}

TablePieces TagWriter::Pieces(const TagBlocks& blocks) const {
    CheckBlocks(blocks);
    const Bytes& table = signed_table();
    TablePieces pieces(table, blocks.icon, blocks.picture);
    if (placement_ == TagPlacement::kBehindSignature) {
        // The extra data area starts right behind the certificate table as
        // signed, i.e. behind the signature.
        pieces.AppendShared(PieceSource::kSignedTable, 0, table.size());
        AppendBlocks(pieces, blocks);
        AppendTrailer(pieces, blocks, table.size());
        return pieces;
    }
    // Inside the signature: the blocks, filler, the restore record and the
    // trailer (a version-1 trailer behind 8 zero bytes) form the tag
    // attribute's value.
    const TagAttributePlan plan = slot_->Plan(blocks.size());
    slot_->AppendFront(plan, pieces);
    AppendBlocks(pieces, blocks);
    pieces.AppendMade(plan.filler_size, 0);
    pieces.AppendMade(MakeRestoreRecord(table));
    pieces.AppendMade(kTrailerSize - TrailerSize(blocks.version), 0);
    AppendTrailer(pieces, blocks, plan.value_offset);
    Require(pieces.size() == plan.table_size, "the tag does not have its planned size");
    return pieces;
}

}  // namespace tag_writer
