#include "tools/package_writer/package_writer.h"

#include <algorithm>
#include <array>

#include "tools/tag_writer/pe_checksum.h"

namespace package_writer {

namespace {

using namespace package_layout;

constexpr auto Require = tag_writer::Require<PackageWriterError>;

}  // namespace

void BytesSource::Read(std::uint64_t position, std::span<std::uint8_t> bytes) const {
    Require(position <= bytes_.size() && bytes.size() <= bytes_.size() - position,
            "a read lies beyond the end of the image");
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position), bytes.size(),
                bytes.begin());
}

ImageHeaders ReadHeaders(const ImageSource& image) {
    const std::uint64_t size = image.size();
    std::array<std::uint8_t, kDosHeaderSize> dos{};
    Require(size >= dos.size(), "the image has no 'MZ' header");
    image.Read(0, dos);
    Require(ReadU16(dos.data(), kDosMagicOffset) == kDosMagic, "the image has no 'MZ' header");
    const std::int32_t nt = ReadI32(dos.data(), kNtHeadersOffsetOffset);
    Require(nt > 0 && static_cast<std::uint64_t>(nt) + kNtHeadersSize <= size,
            "the image's NT headers do not lie inside it");

    std::array<std::uint8_t, kNtHeadersSize> nt_headers{};
    image.Read(static_cast<std::uint64_t>(nt), nt_headers);
    Require(ReadU32(nt_headers.data(), kSignatureOffset) == kPeSignature,
            "the image has no 'PE' signature");
    ImageHeaders headers;
    headers.nt_offset = nt;
    headers.optional_magic = ReadU16(nt_headers.data(), kOptionalMagicOffset);
    headers.checksum = ReadU32(nt_headers.data(), tag_writer::kChecksumOffset);
    headers.security = {ReadU32(nt_headers.data(), kSecurityDirectoryOffset),
                        ReadU32(nt_headers.data(), kSecurityDirectorySizeOffset)};

    const std::uint16_t count = ReadU16(nt_headers.data(), kNumberOfSectionsOffset);
    const std::uint64_t table_start = static_cast<std::uint64_t>(nt) + kNtHeadersSize;
    Require(table_start + std::uint64_t{count} * kSectionHeaderSize <= size,
            "the image's section table does not lie inside it");
    Bytes table(std::size_t{count} * kSectionHeaderSize);
    image.Read(table_start, table);
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = table.data() + std::size_t{i} * kSectionHeaderSize;
        headers.sections.push_back(
            {ReadU32(entry, kPointerToRawDataOffset), ReadU32(entry, kSizeOfRawDataOffset)});
    }
    return headers;
}

ImageHeaders ReadHeaders(const Bytes& image) {
    return ReadHeaders(BytesSource(image));
}

std::uint32_t EndOfSectionData(const ImageHeaders& headers, std::uint64_t file_size) {
    SectionEntry best;
    for (const SectionEntry& section : headers.sections) {
        if (section.pointer <= file_size && section.pointer > best.pointer) {
            best = section;
        }
    }
    const std::uint64_t end = std::uint64_t{best.pointer} + best.size;
    Require(end <= UINT32_MAX, "the last section ends beyond 4 GiB");
    return static_cast<std::uint32_t>(end);
}

void CheckEmbedding(const ImageHeaders& stub, std::uint64_t stub_size,
                    std::uint64_t installer_size) {
    Require(stub.optional_magic == kPe32Magic, "the stub is not a PE32 image");
    Require(stub.security.offset == 0 && stub.security.size == 0,
            "the stub already has a certificate table");
    // The stub takes the section with the greatest raw-data pointer inside
    // its file as the last one. A pointer beyond the stub's end is ignored
    // here, but lands inside the package once the installer lies behind the
    // stub, and the stub would then extract the wrong bytes.
    for (std::size_t i = 0; i < stub.sections.size(); ++i) {
        if (stub.sections[i].pointer > stub_size) {
            throw PackageWriterError(
                "the stub's section " + std::to_string(i + 1) + " has its raw data at offset " +
                std::to_string(stub.sections[i].pointer) + ", beyond the stub's end (" +
                std::to_string(stub_size) +
                " bytes); behind the installer it would become the stub's last section and the "
                "stub would extract the wrong bytes");
        }
    }
    const std::uint32_t end = EndOfSectionData(stub, stub_size);
    Require(end >= stub_size, "the stub has data behind its last section");
    Require(end <= stub_size, "the stub's last section reaches beyond its end");
    Require(installer_size > 0, "the installer image is empty");
    Require(stub_size + installer_size <= static_cast<std::uint64_t>(INT32_MAX),
            "the package would reach 2 GiB");
}

tag_writer::TagBlocks TagOptions::blocks() const {
    tag_writer::TagBlocks blocks;
    blocks.version = version;
    blocks.params_base64 = params_base64;
    blocks.icon = icon;
    blocks.picture = picture;
    return blocks;
}

}  // namespace package_writer
