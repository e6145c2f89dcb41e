// Deformations of packages for the tests that need malformed ones: each
// changes one thing in an image (or a tagged table) in place. Real packages
// come from the package writer; a minimal synthetic PE32 image covers header
// corner cases. The helpers throw std::invalid_argument on an image they
// cannot change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "package/package_layout.h"
#include "tools/package_writer/package_writer.h"

namespace test_support {

using Bytes = std::vector<std::uint8_t>;  // as tests/support/temp_dir.h names it

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
void SetSection(Bytes& image, std::size_t index, package_writer::SectionEntry entry);
// Appends count bytes of value behind the certificate table.
void AppendBytes(Bytes& image, std::size_t count, std::uint8_t value = 0);

// Trailer fields to write in place of the true ones.
struct TrailerOverrides {
    std::optional<std::int32_t> icon_size = std::nullopt;
    std::optional<std::int32_t> picture_size = std::nullopt;
    std::optional<std::int32_t> params_size = std::nullopt;
    std::optional<std::int32_t> extra_data_offset = std::nullopt;
    std::optional<std::int32_t> version = std::nullopt;
    std::optional<std::uint32_t> magic = std::nullopt;
};

// Writes the fields overrides sets over the package trailer as the stub
// reads it: the last 24 bytes of a tagged file or table (of a version-1 tag,
// the icon and picture sizes fall on the 8 bytes in front of its 16-byte
// trailer). A tag inside the signature stays well-formed DER and still comes
// off: its trailer is the end of the tag attribute's value, and untagging
// reads the restore record in front of it.
void OverrideTrailer(Bytes& tagged, const TrailerOverrides& overrides);

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

}  // namespace test_support
