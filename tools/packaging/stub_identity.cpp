#include "tools/packaging/stub_identity.h"

#include <cstdint>

#include "package/package_layout.h"
#include "tools/package_writer/package_writer.h"
#include "tools/packaging/sha256.h"
#include "tools/tag_writer/pe_checksum.h"

namespace packaging {

namespace {

using namespace package_layout;

constexpr char kHexDigits[] = "0123456789abcdef";

void ZeroU32(Bytes& bytes, std::size_t offset) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = 0;
    }
}

}  // namespace

std::string StubIdentity(const Bytes& image) {
    package_writer::ImageHeaders headers;
    std::uint32_t end = 0;
    try {
        headers = package_writer::ReadHeaders(image);
        end = package_writer::EndOfSectionData(headers, image.size());
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError(std::string("it is not a PE file: ") + error.what());
    }
    if (headers.optional_magic != kPe32Magic) {
        throw CommandError("it is not a PE32 image, as the stub is");
    }
    if (end > image.size()) {
        throw CommandError("its last section reaches beyond the end of the file");
    }
    const auto nt = static_cast<std::size_t>(headers.nt_offset);
    if (end < nt + kSecurityDirectorySizeOffset + 4) {
        throw CommandError("its headers lie behind the end of its sections");
    }

    Bytes stub(image.begin(), image.begin() + end);
    ZeroU32(stub, nt + tag_writer::kChecksumOffset);
    ZeroU32(stub, nt + kSecurityDirectoryOffset);
    ZeroU32(stub, nt + kSecurityDirectorySizeOffset);

    std::string text;
    for (const std::uint8_t byte : Sha256(stub)) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0xF];
    }
    return text;
}

}  // namespace packaging
