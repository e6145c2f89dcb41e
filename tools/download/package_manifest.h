// A package's manifest: what an edge needs to tag a package without reading
// its body (`tvkpack manifest` writes it). JSON of a few tens of KB:
//
//   {"tvk_package_manifest": 1,
//    "file_size": N, "table_offset": N,    the package, and where its table begins
//    "checksum_offset": N,                 OptionalHeader.CheckSum
//    "size_offset": N,                     the security directory's Size
//    "checksum_set": true|false,           false: the CheckSum is 0 and stays 0
//    "checksum_prefix_sum": N,             the PE checksum's plain sum of the
//                                          16-bit words before the table, the
//                                          two fields taken as zero (exact)
//    "content_sha256": "hex",              of the whole file (entity tags)
//    "stub_identity": "hex",               the stub it carries
//    "signed_table": "base64"}             the certificate table as signed
//
// Every copy an edge makes is the package's bytes up to table_offset, with
// the two fields set, followed by a tagged table.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "tools/download/entity_tag_input.h"
#include "tools/download/tag_source.h"

namespace download {

// The manifest's format version, its first member.
inline constexpr int kManifestVersion = 1;

struct PackageManifest {
    TagLayout layout;
    Bytes signed_table;
    std::uint64_t checksum_prefix_sum = 0;
    Digest content_hash{};
    std::string stub_identity;
};

// The manifest as JSON (one line and a line feed).
std::string WriteManifest(const PackageManifest& manifest);

// Reads a manifest and checks it as the server checks a package: its
// version, every member there and of its type, sizes that fit each other
// and a package below 2 GiB. Throws packaging::CommandError saying what is
// wrong.
PackageManifest ReadManifest(std::string_view text);

// The tag source a manifest describes; throws packaging::CommandError
// unless its signed table takes a tag.
std::unique_ptr<const TagSource> ManifestTagSource(const PackageManifest& manifest);

}  // namespace download
