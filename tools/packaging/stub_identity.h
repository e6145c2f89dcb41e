// The identity of the stub a package carries: which stub build it is, the
// same for the bare stub and for every package made from it.
#pragma once

#include <string>

#include "tools/packaging/tool_files.h"

namespace packaging {

// The SHA-256, as 64 lower-case hexadecimal digits, of the image's bytes up
// to the end of its last section's data (by the stub's own rule: the
// installer image and the certificate table lie behind it), with the two
// header fields that embedding, signing and tagging change taken as zero:
// the PE checksum and the security directory entry (its offset and size).
// Throws CommandError for a file that is not a PE32 image or whose last
// section reaches beyond its end.
std::string StubIdentity(const Bytes& image);

}  // namespace packaging
