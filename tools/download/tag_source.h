// A signed package as many tagged copies are made of it, without its body:
// where its certificate table lies, the two header fields a tag changes
// (the CheckSum and the security directory's Size), its signed table
// (walked once by the tag writer) and the checksum's sum of the bytes
// before the table. The server holds one per package it reads from disk;
// the edge makes one from a package's manifest. Each copy is the package's
// bytes up to its table with the two fields set, and the tagged table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "tools/tag_writer/bytes.h"
#include "tools/tag_writer/pe_checksum.h"
#include "tools/tag_writer/tag_checksum.h"
#include "tools/tag_writer/tag_writer.h"

namespace download {

using tag_writer::Bytes;
using tag_writer::ByteView;

// The fields' size: both are u32.
inline constexpr std::size_t kTagFieldSize = 4;

struct TagLayout {
    std::uint64_t file_size = 0;  // of the package as it lies (its table may carry a tag)
    std::uint64_t table_offset = 0;
    std::size_t checksum_offset = 0;  // OptionalHeader.CheckSum
    std::size_t size_offset = 0;      // the security directory's Size
    // A CheckSum of 0 ("not set") stays 0 in every copy, so that untagging
    // gives it back.
    bool checksum_set = false;

    // The first bytes, up to the end of the last field a tag changes.
    std::size_t head_size() const { return size_offset + kTagFieldSize; }
};

// One copy's own parts: its table and the values of the two fields.
struct TaggedTable {
    explicit TaggedTable(tag_writer::TablePieces pieces) : table(std::move(pieces)) {}

    tag_writer::TablePieces table;
    std::uint32_t size_field = 0;
    std::optional<std::uint32_t> checksum;  // none when the CheckSum stays 0
    std::uint64_t size = 0;                 // the whole copy
};

class TagSource {
  public:
    // prefix: the words of the bytes before the table with the two fields
    // taken as zero. Throws packaging::CommandError ("cannot tag its
    // signature: ...") unless the signed table holds a signature that
    // takes a tag inside it, and when the layout does not fit it.
    TagSource(const TagLayout& layout, Bytes signed_table, tag_writer::PeChecksumSum prefix);
    TagSource(const TagSource&) = delete;
    TagSource& operator=(const TagSource&) = delete;

    const TagLayout& layout() const { return layout_; }
    const Bytes& signed_table() const { return writer_.signed_table(); }
    tag_writer::PeChecksumSum prefix() const { return prefix_; }

    // A copy's size with a tag of that version whose blocks come to
    // blocks_size bytes, from the lengths alone. Throws
    // packaging::CommandError when it would reach 2 GiB.
    std::uint64_t TaggedSize(std::int32_t version, std::size_t blocks_size) const;

    // The copy with these blocks, exactly as `tvkpack tag` tags the package
    // (a tag inside the signature); icon and picture are the sums of the
    // blocks' icon and picture. The table's pieces refer to this source's
    // signed table and to the blocks' icon and picture. Throws
    // packaging::CommandError when the tag cannot be made.
    TaggedTable Tag(const tag_writer::TagBlocks& blocks, const tag_writer::BlockSum& icon,
                    const tag_writer::BlockSum& picture) const;

  private:
    TagLayout layout_;
    tag_writer::TagWriter writer_;
    tag_writer::PeChecksumSum prefix_;
    tag_writer::TagChecksum checksum_;
};

// A copy's version and size, from the lengths of what it carries, as both
// the server and the edge describe a download before building it: the
// parameters text (unsigned; with tag signing the signature's member adds
// signature_text_size characters of base64url and the member's name), the
// icon and the picture. Throws packaging::CommandError when they cannot be
// tagged (not JSON, a block beyond its limit, a package of 2 GiB or more).
struct DescribedTag {
    std::int32_t version = 0;
    std::uint64_t size = 0;
};
DescribedTag DescribeTag(const TagSource& source, std::string_view params_text,
                         std::size_t icon_size, std::size_t picture_size,
                         std::optional<std::size_t> signature_text_size);

}  // namespace download
