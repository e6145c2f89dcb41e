#include "tools/tag_writer/table_pieces.h"

namespace tag_writer {

TablePieces::TablePieces(ByteView signed_table, ByteView icon, ByteView picture)
    : signed_table_(signed_table), icon_(icon), picture_(picture) {}

void TablePieces::AppendMade(ByteView bytes) {
    if (bytes.empty()) {
        return;
    }
    if (pieces_.empty() || pieces_.back().source != PieceSource::kMade) {
        pieces_.push_back({PieceSource::kMade, made_.size(), 0});
    }
    made_.insert(made_.end(), bytes.begin(), bytes.end());
    pieces_.back().size += bytes.size();
    size_ += bytes.size();
}

void TablePieces::AppendMade(std::size_t count, std::uint8_t value) {
    const Bytes bytes(count, value);
    AppendMade(bytes);
}

void TablePieces::AppendShared(PieceSource source, std::size_t offset, std::size_t size) {
    const ByteView from = Source(source);
    Require(source != PieceSource::kMade && offset <= from.size() && size <= from.size() - offset,
            "a shared piece lies outside its source");
    if (size == 0) {
        return;
    }
    pieces_.push_back({source, offset, size});
    size_ += size;
}

ByteView TablePieces::Source(PieceSource source) const {
    switch (source) {
        case PieceSource::kSignedTable:
            return signed_table_;
        case PieceSource::kIcon:
            return icon_;
        case PieceSource::kPicture:
            return picture_;
        case PieceSource::kMade:
            break;
    }
    return made_;
}

ByteView TablePieces::BytesOf(const TablePiece& piece) const {
    return Source(piece.source).subspan(piece.offset, piece.size);
}

Bytes TablePieces::Concatenate() const {
    Bytes table;
    table.reserve(size_);
    for (const TablePiece& piece : pieces_) {
        const ByteView bytes = BytesOf(piece);
        table.insert(table.end(), bytes.begin(), bytes.end());
    }
    return table;
}

}  // namespace tag_writer
