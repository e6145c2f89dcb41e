// Builds packages from real executables, the way the stub reads them: the
// installer image behind the stub's last section data, then (after an
// Authenticode signing tool has signed the result) the extra data area and
// the package trailer inside the certificate table behind the signature.
//
// Besides well-formed packages it makes the malformed variants that tests
// need, and a minimal synthetic PE32 image for header corner cases. All
// functions work on whole files held in memory; they throw
// PackageWriterError when the input is not what they can work on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/package_layout.h"

namespace package_writer {

using Bytes = std::vector<std::uint8_t>;

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

// Trailer fields to write in place of the true ones, for malformed packages.
struct TrailerOverrides {
    std::optional<std::int32_t> icon_size;
    std::optional<std::int32_t> picture_size;
    std::optional<std::int32_t> params_size;
    std::optional<std::int32_t> extra_data_offset;
    std::optional<std::int32_t> version;
    std::optional<std::uint32_t> magic;
};

// Where a tag lies in the certificate table.
enum class TagPlacement {
    // Behind the signature record; the security directory's Size grows over
    // the blocks and the trailer. Strict verifiers call the table corrupted.
    kBehindSignature,
    // Inside the signature, as the value of an unauthenticated attribute of
    // its SignerInfo (signature_tag.h): nothing lies outside the PKCS#7.
    kInsideSignature,
};

struct TagOptions {
    // 1: parameters block and a 16-byte trailer; 2: icon, picture and
    // parameters blocks and a 24-byte trailer.
    std::int32_t version = package_layout::kPackageVersion1;
    std::string params_base64;  // the parameters block: base64 text
    Bytes icon;                 // version 2 only
    Bytes picture;              // version 2 only
    // Bytes written between the last block and the trailer (the stub reads
    // nothing there).
    Bytes gap;
    TrailerOverrides overrides;
    TagPlacement placement = TagPlacement::kBehindSignature;
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
// Malformed variants: each changes one thing in an image, in place.

// Sets the security directory entry to offset and size (0 and 0: unsigned).
void SetSecurityDirectory(Bytes& image, std::uint32_t offset, std::uint32_t size);
// Sets OptionalHeader.Magic (0x20B makes a PE32+ header).
void SetOptionalMagic(Bytes& image, std::uint16_t magic);
// Writes e_lfanew only; the NT headers stay where they are.
void SetNtHeadersOffset(Bytes& image, std::int32_t offset);
// Copies the NT headers and the section table to offset (over whatever lies
// there) and points e_lfanew at them. The image grows if they would not fit.
void MoveNtHeaders(Bytes& image, std::int32_t offset);
// Sets FileHeader.NumberOfSections.
void SetSectionCount(Bytes& image, std::uint16_t count);
// Sets one entry of the section table.
void SetSection(Bytes& image, std::size_t index, SectionEntry entry);
// Appends count bytes of value behind the certificate table.
void AppendBytes(Bytes& image, std::size_t count, std::uint8_t value = 0);

// ---------------------------------------------------------------------------
// A synthetic PE32 image, for header corner cases

struct SyntheticSection {
    std::uint32_t pointer = 0;  // PointerToRawData
    std::uint32_t size = 0;     // SizeOfRawData
    // Whether the image holds the section's data; false leaves the file short
    // of it (a pointer beyond the end of the file).
    bool in_file = true;
};

struct SyntheticPeOptions {
    std::int32_t nt_offset = 64;
    std::uint16_t optional_magic = package_layout::kPe32Magic;
    std::vector<SyntheticSection> sections;
    // Bytes behind the headers and the section data (an installer image).
    Bytes tail;
};

// DOS header, NT headers, the section table and the section data (filled
// with the section's index + 1); then the tail. The file is as long as the
// furthest of these ends; its security directory is empty.
Bytes BuildSyntheticPe(const SyntheticPeOptions& options);

// Stands in for a signing tool on synthetic images: pads the image to 8
// bytes, appends a WIN_CERTIFICATE record of record_length bytes (8-byte
// header, zero contents) and points the security directory at it.
void AttachFakeSignature(Bytes& image, std::uint32_t record_length = 1024);

}  // namespace package_writer
