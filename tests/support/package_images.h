// Whole packages in memory for the tests, built on the package writer's
// rules and the tag writer, the way the packaging tools stream them: the
// installer behind a stub, a tag written into (or taken out of) a signed
// image's certificate table. The tools themselves never hold a package
// whole. Each function throws package_writer::PackageWriterError for an
// image it cannot work on and lets the tag writer's TagWriterError through.
#pragma once

#include <cstdint>
#include <vector>

#include "package/package_layout.h"
#include "tools/package_writer/package_writer.h"

namespace test_support {

using Bytes = std::vector<std::uint8_t>;  // as tests/support/temp_dir.h names it

// The unsigned package image: the installer directly behind the stub's last
// section data (package_writer::CheckEmbedding's rules), its checksum as the
// stub's.
Bytes EmbedImage(const Bytes& stub, const Bytes& installer);

// The tagged certificate table, made from a signed image's table (which
// holds the signature record and at most its zero alignment padding).
Bytes TagCertificateTable(const Bytes& signed_table, const package_writer::TagOptions& options);

// Replaces a signed image's certificate table with TagCertificateTable's and
// sets the security directory's Size to it; the checksum stays as it was.
Bytes TagImage(const Bytes& signed_image, const package_writer::TagOptions& options);

// Removes what TagImage added: a tag attribute inside the signature is
// removed, a tag behind it cut off (the security directory's Size goes back
// to the signature record's dwLength).
Bytes UntagImage(const Bytes& package);

// The package trailer of a tagged file (the last 24 bytes).
package_layout::PackageTrailer ReadTrailer(const Bytes& package);

// Sets the security directory entry to offset and size (0 and 0: unsigned).
void SetSecurityDirectory(Bytes& image, std::uint32_t offset, std::uint32_t size);

}  // namespace test_support
