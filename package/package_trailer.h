// The shared first steps of the block operations (ReadData, ExtractPicture,
// ExtractIco): open the executable afresh, read the package trailer at the
// end of its certificate table, and read one block into a zeroed buffer.
// The trailer and the blocks lie outside the signed hash, so every field is
// untrusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "platform/file_io.h"

// The executable opened for reading by one block operation, with its trailer
// read and its magic checked. The file closes when this goes out of scope.
class PackageFile {
  public:
    // Throws PeFormatException "Not a TVK package" when the trailer's magic
    // is not "TVKS", and also when the trailer cannot be read whole: the
    // executable passed validation, so it has changed or gone since, and
    // nothing it holds can be trusted.
    PackageFile(const std::wstring& path, std::int32_t table_offset, std::int32_t table_size);
    PackageFile(const PackageFile&) = delete;
    PackageFile& operator=(const PackageFile&) = delete;

    const package_layout::PackageTrailer& trailer() const { return trailer_; }

    // Reads the size bytes at position into a buffer of size + 1 zero bytes
    // and returns how many were read. A block that runs past the end of the
    // file, or a position the file pointer cannot move to (a negative one),
    // leaves the bytes that were not read zero. size must have passed
    // CheckBlockSize.
    std::size_t ReadBlock(std::int32_t position, std::int32_t size,
                          std::vector<std::uint8_t>& buffer);

  private:
    FileReader file_;
    package_layout::PackageTrailer trailer_;
};

// Throws PeFormatException with too_big_message unless 0 <= size <=
// kBlockSizeLimit. A negative size, which a signed comparison with the limit
// alone would let through, is never used as a length.
void CheckBlockSize(std::int32_t size, const char* too_big_message);
