// Builds packages from real executables, the way the stub reads them: the
// installer image behind the stub's last section data, then (after an
// Authenticode signing tool has signed the result) the tag in the
// certificate table, written by the tag writer (tools/tag_writer/).
//
// All functions work on whole files held in memory; they throw
// PackageWriterError when an image is not what they can work on, and let
// the tag writer's TagWriterError through when its table cannot be tagged
// or untagged. Test deformations of packages live with the tests
// (tests/support/package_deformations.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "tools/tag_writer/bytes.h"
#include "tools/tag_writer/tag_writer.h"

namespace package_writer {

using tag_writer::Bytes;

class PackageWriterError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Reading an image

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
    SecurityDirectory security;
    std::vector<SectionEntry> sections;
};
ImageHeaders ReadHeaders(const Bytes& image);

// The end of the last section's data, by the stub's rule: the section with
// the greatest raw-data pointer not beyond the file wins, the earlier one on
// a tie; 0 when no section has a non-zero pointer.
std::uint32_t EndOfSectionData(const ImageHeaders& headers, std::size_t file_size);

// ---------------------------------------------------------------------------
// Building packages

// The unsigned package image: the installer directly behind the stub's last
// section data. Refuses a stub with data behind its sections, one whose
// sections reach beyond its end or have their raw data there (the installer
// would take their place), one that carries a certificate table, and an
// empty installer.
Bytes Embed(const Bytes& stub, const Bytes& installer);

// A tag's blocks held by value (tag_writer::TagBlocks views them), and where
// it goes.
struct TagOptions {
    // 1: parameters block and a 16-byte trailer; 2: icon, picture and
    // parameters blocks and a 24-byte trailer.
    std::int32_t version = package_layout::kPackageVersion1;
    std::string params_base64;  // the parameters block: base64 text
    Bytes icon;                 // version 2 only
    Bytes picture;              // version 2 only
    tag_writer::TagPlacement placement = tag_writer::TagPlacement::kBehindSignature;
};

// The tagged certificate table, made from a signed image's table (which
// holds the signature record and at most its zero alignment padding).
// Behind the signature, the extra data offset is the signed table's size;
// inside it, the offset of the attribute's value.
Bytes TagCertificateTable(const Bytes& signed_table, const TagOptions& options);

// Replaces a signed image's certificate table with TagCertificateTable's and
// sets the security directory's Size to it. The signed image's certificate
// table must end at the end of the file.
Bytes Tag(const Bytes& signed_image, const TagOptions& options);

// Removes what Tag added: a tag attribute inside the signature is removed,
// a tag behind it cut off (the security directory's Size goes back to the
// signature record's dwLength). For a package tagged once, the result is
// the signed image again.
Bytes Untag(const Bytes& package);

// The package trailer of a tagged file (the last 24 bytes).
package_layout::PackageTrailer ReadTrailer(const Bytes& package);

// ---------------------------------------------------------------------------
// Changing an image

// Sets the security directory entry to offset and size (0 and 0: unsigned).
void SetSecurityDirectory(Bytes& image, std::uint32_t offset, std::uint32_t size);

}  // namespace package_writer
