// Reads what packages depend on in real executables, the way the stub reads
// them: the image headers (of a file read by position, or of bytes in
// memory), the end of the last section's data, the rules for putting an
// installer image behind a stub, and a tag's blocks held by value for the
// tag writer (tools/tag_writer/), which writes them into the certificate
// table once an Authenticode signing tool has signed the package.
//
// Packages are never held whole: the packaging tools stream them from file
// to file. Whole images in memory, and test deformations of packages, live
// with the tests (tests/support/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "tools/tag_writer/bytes.h"
#include "tools/tag_writer/tag_writer.h"

namespace package_writer {

using tag_writer::Bytes;
using tag_writer::ByteView;

class PackageWriterError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Reading an image

// An image read by position: a file on disk, or bytes in memory. Sizes and
// positions are 64-bit in every build.
class ImageSource {
  public:
    virtual ~ImageSource() = default;
    virtual std::uint64_t size() const = 0;
    // Fills bytes from position; callers read only what lies inside the
    // image. A source that cannot read throws its own error.
    virtual void Read(std::uint64_t position, std::span<std::uint8_t> bytes) const = 0;
};

// Bytes in memory as an image; they must outlive it.
class BytesSource final : public ImageSource {
  public:
    explicit BytesSource(ByteView bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    void Read(std::uint64_t position, std::span<std::uint8_t> bytes) const override;

  private:
    ByteView bytes_;
};

// One entry of the section table.
struct SectionEntry {
    std::uint32_t pointer = 0;  // PointerToRawData
    std::uint32_t size = 0;     // SizeOfRawData
};

// The security directory entry (data directory 4): a file offset and size.
struct SecurityDirectory {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
};

// The header fields a package depends on. Throws when the image has no 'MZ'
// and 'PE' signatures or its headers and section table do not lie inside it;
// the optional header's magic is reported, not checked.
struct ImageHeaders {
    std::int32_t nt_offset = 0;
    std::uint16_t optional_magic = 0;
    std::uint32_t checksum = 0;  // OptionalHeader.CheckSum
    SecurityDirectory security;
    std::vector<SectionEntry> sections;
};
ImageHeaders ReadHeaders(const ImageSource& image);
ImageHeaders ReadHeaders(const Bytes& image);

// The end of the last section's data, by the stub's rule: the section with
// the greatest raw-data pointer not beyond the file wins, the earlier one on
// a tie; 0 when no section has a non-zero pointer.
std::uint32_t EndOfSectionData(const ImageHeaders& headers, std::uint64_t file_size);

// ---------------------------------------------------------------------------
// Building packages

// Whether a stub of stub_size bytes with these headers can carry an
// installer image of installer_size bytes directly behind its last section
// data. Refuses a stub with data behind its sections, one whose sections
// reach beyond its end or have their raw data there (the installer would
// take their place), one that carries a certificate table, an empty
// installer, and a package of 2 GiB or more.
void CheckEmbedding(const ImageHeaders& stub, std::uint64_t stub_size,
                    std::uint64_t installer_size);

// A tag's blocks held by value, and where it goes.
struct TagOptions {
    // 1: parameters block and a 16-byte trailer; 2: icon, picture and
    // parameters blocks and a 24-byte trailer.
    std::int32_t version = package_layout::kPackageVersion1;
    std::string params_base64;  // the parameters block: base64 text
    Bytes icon;                 // version 2 only
    Bytes picture;              // version 2 only
    tag_writer::TagPlacement placement = tag_writer::TagPlacement::kBehindSignature;

    // The blocks as the tag writer takes them: views of these.
    tag_writer::TagBlocks blocks() const;
};

}  // namespace package_writer
