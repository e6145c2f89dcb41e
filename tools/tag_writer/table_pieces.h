// A tagged certificate table as a sequence of pieces: the bytes made for the
// one tag (the record header, the rewritten DER lengths, the attribute's
// header, the parameters block, filler, the restore record and the trailer)
// and spans of bytes that many tags share (the signed table's own bytes, the
// icon and the picture), which the pieces refer to without copying them. A
// server sends the pieces as they are (scatter-gather); a command that
// writes a file concatenates them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/tag_writer/bytes.h"

namespace tag_writer {

// Where a piece's bytes come from.
enum class PieceSource : std::uint8_t {
    kMade,         // made for this tag alone
    kSignedTable,  // a span of the signed certificate table
    kIcon,         // the whole icon block
    kPicture,      // the whole picture block
};

struct TablePiece {
    PieceSource source = PieceSource::kMade;
    std::size_t offset = 0;  // into the made bytes, or into the source
    std::size_t size = 0;
};

class TablePieces {
  public:
    // The sources the shared pieces refer to; they must outlive the pieces.
    TablePieces(ByteView signed_table, ByteView icon, ByteView picture);

    // Appends made bytes (joined to a made piece right before them).
    void AppendMade(ByteView bytes);
    void AppendMade(std::size_t count, std::uint8_t value);
    // Appends a span of a source; an empty span adds no piece.
    void AppendShared(PieceSource source, std::size_t offset, std::size_t size);

    const std::vector<TablePiece>& pieces() const { return pieces_; }
    ByteView BytesOf(const TablePiece& piece) const;
    // The signed table that kSignedTable pieces refer to.
    ByteView signed_table() const { return signed_table_; }
    // The whole table's size, and how much of it was made for this tag.
    std::size_t size() const { return size_; }
    std::size_t made_size() const { return made_.size(); }

    Bytes Concatenate() const;

  private:
    ByteView Source(PieceSource source) const;

    ByteView signed_table_;
    ByteView icon_;
    ByteView picture_;
    Bytes made_;
    std::vector<TablePiece> pieces_;
    std::size_t size_ = 0;
};

}  // namespace tag_writer
