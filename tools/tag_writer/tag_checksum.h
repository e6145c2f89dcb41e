// The PE checksum (OptionalHeader.CheckSum) of a package's tagged copies,
// from sums gathered once. The checksum covers the whole file: the bytes
// before the certificate table are the same in every copy but for two
// fields (the CheckSum itself and the security directory's Size), and of a
// tagged table the spans of the signed table, the icon and the picture are
// shared by many copies. So their sums are gathered once (the package's
// here, an icon's and a picture's by whoever holds them for many copies)
// and a copy adds only the bytes made for it. A download server and an
// edge that tags at a CDN compose the checksum this way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/tag_writer/pe_checksum.h"
#include "tools/tag_writer/table_pieces.h"

namespace tag_writer {

// A shared block's sum as if it lay at an even position, and its size.
struct BlockSum {
    PeChecksumSum sum;
    std::size_t size = 0;
};

class TagChecksum {
  public:
    TagChecksum() = default;
    // prefix: the words of [0, table_offset) with the two fields a tag
    // changes taken as zero. The spans of signed_table that tags share are
    // those of the smallest tag's pieces.
    TagChecksum(PeChecksumSum prefix, std::uint64_t table_offset, ByteView signed_table,
                const TablePieces& smallest);

    // The checksum of the copy whose table is table, with the security
    // directory's Size (the field at size_field) set to the table's size;
    // icon and picture are the sums of the blocks the table shares.
    std::uint32_t Of(std::size_t size_field, const TablePieces& table, const BlockSum& icon,
                     const BlockSum& picture) const;

  private:
    struct SpanSum {
        std::size_t offset = 0;
        std::size_t size = 0;
        PeChecksumSum sum;
    };

    PeChecksumSum prefix_;
    std::uint64_t table_offset_ = 0;
    std::vector<SpanSum> signed_spans_;
};

}  // namespace tag_writer
