// The certificate table of a signed package, as both packaging tools check
// it: where it lies, and what it carries besides the signature. The table
// lies outside the signed hash, so everything in it is untrusted: a tool
// removes only tags it writes (one inside the signature, one behind it) and
// refuses anything else, in time proportional to the table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/packaging/tool_files.h"

namespace packaging {

// Where the certificate table of an image lies, and its signature record.
struct CertificateTable {
    std::size_t nt_offset = 0;
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t record_length = 0;  // dwLength
};

// Where the table of the image with these headers lies, with its record's
// dwLength read from the image. Throws CommandError unless the image is
// signed, its table ends at the end of the file and its signature record
// lies inside the table.
CertificateTable FindCertificateTable(const package_writer::ImageHeaders& headers,
                                      const package_writer::ImageSource& image);

// What a certificate table carries besides the signature.
enum class TableTag {
    kNone,    // the signature record and at most its zero alignment padding
    kInside,  // a tag attribute inside the signature
    kBehind,  // a tag behind the signature record
};
// Throws CommandError when the table holds data behind the signature that
// is not a tag the tools write.
TableTag FindTableTag(const Bytes& table);

// The certificate table as signed: a tag behind the signature and a tag
// inside it removed, at most one of each (the table itself when it carries
// none). Throws CommandError on data the tools did not write, and when a tag
// attribute is left after that (tags inside tags are not unwrapped).
Bytes SignedCertificateTable(const Bytes& table);

}  // namespace packaging
