#include "tools/packaging/stub_identity.h"

#include <algorithm>

#include "package/package_layout.h"
#include "tools/tag_writer/pe_checksum.h"

namespace packaging {

namespace {

using namespace package_layout;

constexpr char kHexDigits[] = "0123456789abcdef";
// The bytes read at a time.
constexpr std::size_t kReadSize = 1 << 20;
// The header fields taken as zero, from the NT headers: the CheckSum, and
// the security directory's offset and size (one after the other).
constexpr struct {
    std::size_t offset;
    std::size_t size;
} kZeroedFields[] = {{tag_writer::kChecksumOffset, tag_writer::kChecksumSize},
                     {kSecurityDirectoryOffset, 8}};
// Where the last of them ends.
constexpr std::size_t kZeroedFieldsEnd = kSecurityDirectorySizeOffset + 4;

}  // namespace

StubIdentityDigest::StubIdentityDigest(const package_writer::ImageHeaders& headers,
                                       std::uint64_t file_size)
    : nt_offset_(static_cast<std::size_t>(headers.nt_offset)) {
    try {
        end_ = package_writer::EndOfSectionData(headers, file_size);
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError(std::string("it is not a PE file: ") + error.what());
    }
    if (headers.optional_magic != kPe32Magic) {
        throw CommandError("it is not a PE32 image, as the stub is");
    }
    if (end_ > file_size) {
        throw CommandError("its last section reaches beyond the end of the file");
    }
    if (end_ < nt_offset_ + kZeroedFieldsEnd) {
        throw CommandError("its headers lie behind the end of its sections");
    }
}

void StubIdentityDigest::Add(ByteView bytes, std::uint64_t position) {
    if (position >= end_) {
        return;
    }
    bytes = bytes.first(
        static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), end_ - position)));
    const std::uint64_t fields_end = nt_offset_ + kZeroedFieldsEnd;
    if (position < fields_end) {
        // The headers' bytes, with the fields zeroed in a copy.
        const auto head =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), fields_end - position));
        Bytes copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(head));
        for (const auto& field : kZeroedFields) {
            const std::uint64_t start = nt_offset_ + field.offset;
            for (std::uint64_t at = std::max(start, position);
                 at < std::min(start + field.size, position + head); ++at) {
                copy[static_cast<std::size_t>(at - position)] = 0;
            }
        }
        digest_.Add(copy);
        bytes = bytes.subspan(head);
    }
    digest_.Add(bytes);
}

std::string StubIdentityDigest::Finish() {
    std::string text;
    for (const std::uint8_t byte : digest_.Finish()) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0xF];
    }
    return text;
}

std::string StubIdentity(const package_writer::ImageSource& image) {
    package_writer::ImageHeaders headers;
    try {
        headers = package_writer::ReadHeaders(image);
    } catch (const package_writer::PackageWriterError& error) {
        throw CommandError(std::string("it is not a PE file: ") + error.what());
    }
    StubIdentityDigest identity(headers, image.size());
    Bytes buffer(static_cast<std::size_t>(std::min<std::uint64_t>(identity.end(), kReadSize)));
    for (std::uint64_t position = 0; position < identity.end();) {
        const auto count = static_cast<std::size_t>(
            std::min<std::uint64_t>(identity.end() - position, buffer.size()));
        const std::span<std::uint8_t> piece(buffer.data(), count);
        image.Read(position, piece);
        identity.Add(piece, position);
        position += count;
    }
    return identity.Finish();
}

}  // namespace packaging
