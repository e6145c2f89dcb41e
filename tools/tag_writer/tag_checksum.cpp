#include "tools/tag_writer/tag_checksum.h"

#include <algorithm>

namespace tag_writer {

namespace {

// The two u32 fields a tag changes in the headers.
constexpr std::size_t kFieldSize = 4;

PeChecksumSum SumOf(ByteView bytes) {
    PeChecksumSum sum;
    sum.Add(bytes.data(), bytes.size(), 0);
    return sum;
}

}  // namespace

TagChecksum::TagChecksum(PeChecksumSum prefix, std::uint64_t table_offset, ByteView signed_table,
                         const TablePieces& smallest)
    : prefix_(prefix), table_offset_(table_offset) {
    for (const TablePiece& piece : smallest.pieces()) {
        if (piece.source == PieceSource::kSignedTable) {
            signed_spans_.push_back(
                {piece.offset, piece.size, SumOf(signed_table.subspan(piece.offset, piece.size))});
        }
    }
}

std::uint32_t TagChecksum::Of(std::size_t size_field, const TablePieces& table,
                              const BlockSum& icon, const BlockSum& picture) const {
    PeChecksumSum sum = prefix_;
    std::uint8_t size_bytes[kFieldSize];
    WriteU32(size_bytes, 0, static_cast<std::uint32_t>(table.size()));
    sum.Add(size_bytes, kFieldSize, size_field);
    std::uint64_t position = table_offset_;
    for (const TablePiece& piece : table.pieces()) {
        const ByteView bytes = table.BytesOf(piece);
        const PeChecksumSum* shared = nullptr;
        if (piece.source == PieceSource::kIcon && bytes.size() == icon.size) {
            shared = &icon.sum;
        } else if (piece.source == PieceSource::kPicture && bytes.size() == picture.size) {
            shared = &picture.sum;
        } else if (piece.source == PieceSource::kSignedTable) {
            const auto found =
                std::find_if(signed_spans_.begin(), signed_spans_.end(), [&](const SpanSum& span) {
                    return span.offset == piece.offset && span.size == piece.size;
                });
            shared = found == signed_spans_.end() ? nullptr : &found->sum;
        }
        if (shared) {
            sum.AddAt(*shared, position);
        } else {
            sum.Add(bytes.data(), bytes.size(), position);
        }
        position += bytes.size();
    }
    return sum.Checksum(table_offset_ + table.size());
}

}  // namespace tag_writer
