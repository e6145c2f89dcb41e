// The one writer of tags: made from a signed certificate table (checked, and
// for a tag inside the signature walked, once), it gives the size of a
// tagged table from the blocks' lengths alone and writes the tagged table as
// pieces (table_pieces.h). Files are tagged by concatenating the pieces; a
// server sends them as they are, so that the blocks many downloads share are
// held once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "package/package_layout.h"
#include "tools/package_writer/package_writer.h"
#include "tools/package_writer/signature_tag.h"
#include "tools/package_writer/table_pieces.h"

namespace package_writer {

// What a tag carries, as views of bytes held elsewhere (TagOptions holds
// its own).
struct TagBlocks {
    std::int32_t version = package_layout::kPackageVersion1;
    std::string_view params_base64;
    ByteView icon;     // version 2 only
    ByteView picture;  // version 2 only
    ByteView gap;      // between the last block and the trailer
    TrailerOverrides overrides;

    // The blocks and the gap together.
    std::size_t size() const {
        return icon.size() + picture.size() + params_base64.size() + gap.size();
    }
};

// The blocks of options, as views of its bytes.
TagBlocks BlocksOf(const TagOptions& options);

class TagWriter {
  public:
    // Behind the signature, the blocks follow the table as given (which
    // should hold the signature record and at most its zero alignment
    // padding). Inside it, throws PackageWriterError unless the table holds
    // a signature that can be walked, its zero alignment padding and no tag
    // attribute, and the signature's encoding comes back unchanged when a
    // tag is removed again.
    TagWriter(Bytes signed_table, TagPlacement placement);
    TagWriter(const TagWriter&) = delete;
    TagWriter& operator=(const TagWriter&) = delete;

    // The tagged table's size for a tag of that version whose blocks (and
    // gap) come to blocks_size bytes.
    std::size_t TableSize(std::int32_t version, std::size_t blocks_size) const;

    // The tagged table. Behind the signature, the extra data offset is the
    // signed table's size; inside it, the offset of the attribute's value.
    // The pieces refer to this writer's signed table and to the blocks' icon
    // and picture, which must outlive them. Throws PackageWriterError for
    // blocks no package may carry (a version other than 1 or 2, an icon or
    // picture in version 1, a block beyond the limit).
    TablePieces Pieces(const TagBlocks& blocks) const;

    const Bytes& signed_table() const { return signed_table_; }
    TagPlacement placement() const { return placement_; }

  private:
    Bytes signed_table_;
    TagPlacement placement_;
    std::optional<TagAttributeSlot> slot_;  // inside the signature only
};

}  // namespace package_writer
