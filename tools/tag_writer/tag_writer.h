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
#include "tools/tag_writer/bytes.h"
#include "tools/tag_writer/signature_tag.h"
#include "tools/tag_writer/table_pieces.h"

namespace tag_writer {

// Where a tag lies in the certificate table.
enum class TagPlacement {
    // Behind the signature record; the security directory's Size grows over
    // the blocks and the trailer. Strict verifiers call the table corrupted.
    kBehindSignature,
    // Inside the signature, as the value of an unauthenticated attribute of
    // its SignerInfo (signature_tag.h): nothing lies outside the PKCS#7.
    kInsideSignature,
};

// What a tag carries, as views of bytes held elsewhere.
struct TagBlocks {
    // 1: parameters block and a 16-byte trailer; 2: icon, picture and
    // parameters blocks and a 24-byte trailer.
    std::int32_t version = package_layout::kPackageVersion1;
    std::string_view params_base64;  // the parameters block: base64 text
    ByteView icon;                   // version 2 only
    ByteView picture;                // version 2 only

    // The blocks together.
    std::size_t size() const { return icon.size() + picture.size() + params_base64.size(); }
};

class TagWriter {
  public:
    // Behind the signature, the blocks follow the table as given (which
    // should hold the signature record and at most its zero alignment
    // padding). Inside it, throws TagWriterError unless the table holds a
    // signature that can be walked, its zero alignment padding and no tag
    // attribute, and the signature's encoding comes back unchanged when a
    // tag is removed again.
    TagWriter(Bytes signed_table, TagPlacement placement);
    TagWriter(const TagWriter&) = delete;
    TagWriter& operator=(const TagWriter&) = delete;

    // The tagged table's size for a tag of that version whose blocks come
    // to blocks_size bytes.
    std::size_t TableSize(std::int32_t version, std::size_t blocks_size) const;

    // The tagged table. Behind the signature, the extra data offset is the
    // signed table's size; inside it, the offset of the attribute's value.
    // The pieces refer to this writer's signed table and to the blocks' icon
    // and picture, which must outlive them. Throws TagWriterError for blocks
    // no package may carry (a version other than 1 or 2, an icon or picture
    // in version 1, a block beyond the limit).
    TablePieces Pieces(const TagBlocks& blocks) const;

    const Bytes& signed_table() const { return slot_ ? slot_->signed_table() : behind_table_; }
    TagPlacement placement() const { return placement_; }

  private:
    TagPlacement placement_;
    Bytes behind_table_;                    // behind the signature only
    std::optional<TagAttributeSlot> slot_;  // inside it only: the slot holds the table
};

}  // namespace tag_writer
