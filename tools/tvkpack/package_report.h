// What the stub would do with a package, found out with the stub's own
// PeReader and its operations (never a second parser), and the report of it
// in text or JSON.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "tools/package_writer/archive_markers.h"
#include "tools/packaging/stub_validation.h"
#include "tools/packaging/tool_files.h"

namespace tvkpack {

using packaging::Bytes;
using packaging::StubProblem;

struct BlockPlacement {
    std::string name;       // "icon", "picture", "parameters"
    std::int64_t position;  // file offset, as the stub computes it
    std::int32_t size;
};

// What a tag's signature is.
enum class TagSignatureState {
    kUnsigned,  // no "tvk_sig" member
    kSigned,    // signed; no public key to check it with
    kValid,     // the given key's signature of this tag
    kInvalid,   // signed, but not by the given key for this tag (or malformed)
};

struct InspectReport {
    std::string package;  // as named by the user
    std::uint64_t file_size = 0;
    // The identity of the stub it carries (stub_identity.h); unset for a
    // file that is no PE32 image, whatever the stub's validation says.
    std::optional<std::string> stub_identity;
    // Set once the stub's validation passed.
    struct Layout {
        std::int32_t installer_offset = 0;  // the end of the last section's data
        std::int32_t installer_length = 0;
        std::int32_t certificate_table_offset = 0;
        std::int32_t certificate_table_size = 0;
        std::uint32_t signature_length = 0;  // the WIN_CERTIFICATE record's dwLength
        std::uint32_t checksum_stored = 0;
        std::uint32_t checksum_computed = 0;
        // "inside the signature", "behind the signature", "none", or what
        // else the table holds.
        std::string tag_placement;
        // Where the PKCS#7 structure ends, from the table's start; unset when
        // the signature cannot be walked.
        std::optional<std::uint64_t> pkcs7_end;
        std::uint64_t bytes_outside_pkcs7 = 0;    // in the table, behind the PKCS#7
        std::uint64_t nonzero_outside_pkcs7 = 0;  // of those, how many are not zero
        // The 8-byte-rounded record length equals the table's size, as the PE
        // format demands.
        bool records_fill_table = false;
        // The signature carries the signed attribute that makes Windows skip
        // its archive marker check (archive_markers.h); unset when the
        // signature cannot be walked.
        std::optional<bool> relaxed_marker_check;
    };
    std::optional<Layout> layout;
    std::optional<package_layout::PackageTrailer> trailer;  // the last 24 bytes, as read
    std::vector<BlockPlacement> blocks;
    std::optional<Bytes> parameters;            // decoded, as the installer would receive them
    std::optional<std::uint64_t> picture_size;  // as ExtractPicture writes it
    std::optional<std::uint64_t> icon_size;     // as ExtractIco writes it
    std::optional<StubProblem> problem;
    std::vector<std::string> notes;  // what is odd but does not stop the stub
    // Archive and installer markers in the tag's bytes, by file offset.
    struct MarkerFinding {
        const package_writer::ArchiveMarker* marker = nullptr;
        std::string block;  // the block it starts in; empty: the tag's own fields
        std::int64_t position = 0;
        std::int64_t offset_in_block = 0;
    };
    std::vector<MarkerFinding> archive_markers;
    // Whether the tag is signed (packaging/tag_signature.h) and, given a
    // public key, whether the signature verifies; unset when the stub does
    // not reach its parameters and files.
    struct TagSignature {
        TagSignatureState state = TagSignatureState::kUnsigned;
        std::string detail;  // why it is invalid
    };
    std::optional<TagSignature> tag_signature;
};

// How much of the package Inspect reads.
enum class InspectDepth {
    // Everything the report shows: one pass over the whole file for the PE
    // checksum and the stub's identity.
    kWholeFile,
    // What the stub reads (its headers, the certificate table and the tag)
    // and the tag's archive markers, without the pass: checksum_computed
    // stays 0 and stub_identity unset. For a check of a file just written.
    kStubReads,
};

// Runs the stub's own steps on the package, in the stub's order: PeReader
// construction, ReadData and, for version 2, ExtractPicture and ExtractIco
// (into a scratch folder of tvkpack's own in the temporary directory), and
// records the layout, the decoded parameters and the first failure. The
// installer is not copied out: the reader's validation places it, and its
// copy can only fail for want of disk space. The package is read by
// position, never held whole. With tag_public_key (DER
// SubjectPublicKeyInfo), the tag's signature is checked with it. Throws
// CommandError when the package cannot be read or tvkpack's own scratch
// space fails.
InspectReport Inspect(const std::filesystem::path& package,
                      const std::optional<Bytes>& tag_public_key = std::nullopt,
                      InspectDepth depth = InspectDepth::kWholeFile);

// What strict signature checks make of the package's certificate table:
// an empty list when they accept it as it stands.
std::vector<std::string> StrictVerifierObjections(const InspectReport::Layout& layout);

// The warnings about the archive markers in the tag, as tag and inspect show
// them: none when the signature makes Windows skip its marker check.
std::vector<std::string> MarkerWarnings(const InspectReport& report);

std::string FormatReport(const InspectReport& report);
std::string FormatReportJson(const InspectReport& report);

}  // namespace tvkpack
