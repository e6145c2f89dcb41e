// The identity of the stub a package carries: which stub build it is, the
// same for the bare stub and for every package made from it.
#pragma once

#include <cstdint>
#include <string>

#include "tools/package_writer/package_writer.h"
#include "tools/packaging/sha256.h"
#include "tools/packaging/tool_files.h"

namespace packaging {

// The identity is the SHA-256, as 64 lower-case hexadecimal digits, of the
// image's bytes up to the end of its last section's data (by the stub's own
// rule: the installer image and the certificate table lie behind it), with
// the two header fields that embedding, signing and tagging change taken as
// zero: the PE checksum and the security directory entry (its offset and
// size). This gathers it from the image's bytes as they are read, front to
// back, so that one pass over a file can gather other things too.
class StubIdentityDigest {
  public:
    // Throws CommandError for an image that is not a PE32 image or whose
    // last section reaches beyond its end.
    StubIdentityDigest(const package_writer::ImageHeaders& headers, std::uint64_t file_size);

    // Where the bytes that count end.
    std::uint64_t end() const { return end_; }
    // The image's bytes from position on; every byte from 0 to end() must
    // come once, in order. Bytes from end() on are left out.
    void Add(ByteView bytes, std::uint64_t position);
    std::string Finish();

  private:
    std::size_t nt_offset_ = 0;
    std::uint64_t end_ = 0;
    Sha256Stream digest_;
};

// The identity of the image, read once up to the end of its sections.
// Throws CommandError for a file that is not a PE32 image or whose last
// section reaches beyond its end.
std::string StubIdentity(const package_writer::ImageSource& image);

}  // namespace packaging
