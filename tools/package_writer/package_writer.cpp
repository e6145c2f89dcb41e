#include "tools/package_writer/package_writer.h"

#include "tools/tag_writer/signature_tag.h"
#include "tools/tag_writer/win_certificate.h"

namespace package_writer {

namespace {

using namespace package_layout;
using tag_writer::kCertificateLengthOffset;
using tag_writer::kCertificateRecordHeaderSize;
using tag_writer::WriteU32;

constexpr auto Require = tag_writer::Require<PackageWriterError>;

// The position of the NT headers, checked to lie inside the image.
std::size_t NtHeaders(const Bytes& image) {
    Require(image.size() >= kDosHeaderSize && ReadU16(image.data(), kDosMagicOffset) == kDosMagic,
            "the image has no 'MZ' header");
    const std::int32_t offset = ReadI32(image.data(), kNtHeadersOffsetOffset);
    Require(offset > 0 && static_cast<std::size_t>(offset) + kNtHeadersSize <= image.size(),
            "the image's NT headers do not lie inside it");
    return static_cast<std::size_t>(offset);
}

// The certificate table of a signed image: it must end at the end of the
// file and begin with a WIN_CERTIFICATE record that lies inside it.
SecurityDirectory CertificateTable(const ImageHeaders& headers, const Bytes& image) {
    const SecurityDirectory table = headers.security;
    Require(table.offset != 0 && table.size != 0, "the image is not signed");
    Require(static_cast<std::uint64_t>(table.offset) + table.size == image.size(),
            "the image's certificate table does not end at the end of the file");
    Require(table.size >= kCertificateRecordHeaderSize,
            "the image's certificate table is too short");
    return table;
}

}  // namespace

ImageHeaders ReadHeaders(const Bytes& image) {
    const std::size_t nt = NtHeaders(image);
    Require(ReadU32(image.data(), nt + kSignatureOffset) == kPeSignature,
            "the image has no 'PE' signature");
    ImageHeaders headers;
    headers.nt_offset = static_cast<std::int32_t>(nt);
    headers.optional_magic = ReadU16(image.data(), nt + kOptionalMagicOffset);
    headers.security = {ReadU32(image.data(), nt + kSecurityDirectoryOffset),
                        ReadU32(image.data(), nt + kSecurityDirectorySizeOffset)};
    const std::uint16_t count = ReadU16(image.data(), nt + kNumberOfSectionsOffset);
    Require(nt + kNtHeadersSize + std::size_t{count} * kSectionHeaderSize <= image.size(),
            "the image's section table does not lie inside it");
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = image.data() + nt + kNtHeadersSize + i * kSectionHeaderSize;
        headers.sections.push_back(
            {ReadU32(entry, kPointerToRawDataOffset), ReadU32(entry, kSizeOfRawDataOffset)});
    }
    return headers;
}

std::uint32_t EndOfSectionData(const ImageHeaders& headers, std::size_t file_size) {
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

Bytes Embed(const Bytes& stub, const Bytes& installer) {
    const ImageHeaders headers = ReadHeaders(stub);
    Require(headers.optional_magic == kPe32Magic, "the stub is not a PE32 image");
    Require(headers.security.offset == 0 && headers.security.size == 0,
            "the stub already has a certificate table");
    // The stub takes the section with the greatest raw-data pointer inside
    // its file as the last one. A pointer beyond the stub's end is ignored
    // here, but lands inside the package once the installer lies behind the
    // stub, and the stub would then extract the wrong bytes.
    for (std::size_t i = 0; i < headers.sections.size(); ++i) {
        if (headers.sections[i].pointer > stub.size()) {
            throw PackageWriterError(
                "the stub's section " + std::to_string(i + 1) + " has its raw data at offset " +
                std::to_string(headers.sections[i].pointer) + ", beyond the stub's end (" +
                std::to_string(stub.size()) +
                " bytes); behind the installer it would become the stub's last section and the "
                "stub would extract the wrong bytes");
        }
    }
    const std::uint32_t end = EndOfSectionData(headers, stub.size());
    Require(end >= stub.size(), "the stub has data behind its last section");
    Require(end <= stub.size(), "the stub's last section reaches beyond its end");
    Require(!installer.empty(), "the installer image is empty");
    Require(stub.size() + installer.size() <= static_cast<std::size_t>(INT32_MAX),
            "the package would reach 2 GiB");
    Bytes package = stub;
    package.insert(package.end(), installer.begin(), installer.end());
    return package;
}

Bytes TagCertificateTable(const Bytes& signed_table, const TagOptions& options) {
    tag_writer::TagBlocks blocks;
    blocks.version = options.version;
    blocks.params_base64 = options.params_base64;
    blocks.icon = options.icon;
    blocks.picture = options.picture;
    const tag_writer::TagWriter writer(signed_table, options.placement);
    return writer.Pieces(blocks).Concatenate();
}

Bytes Tag(const Bytes& signed_image, const TagOptions& options) {
    const ImageHeaders headers = ReadHeaders(signed_image);
    const SecurityDirectory table = CertificateTable(headers, signed_image);
    const Bytes signed_table(signed_image.begin() + table.offset, signed_image.end());
    const Bytes tagged_table = TagCertificateTable(signed_table, options);
    Require(
        std::uint64_t{table.offset} + tagged_table.size() <= static_cast<std::uint64_t>(INT32_MAX),
        "the package would reach 2 GiB");
    Bytes package(signed_image.begin(), signed_image.begin() + table.offset);
    package.insert(package.end(), tagged_table.begin(), tagged_table.end());
    SetSecurityDirectory(package, table.offset, static_cast<std::uint32_t>(tagged_table.size()));
    return package;
}

Bytes Untag(const Bytes& package) {
    const ImageHeaders headers = ReadHeaders(package);
    const SecurityDirectory table = CertificateTable(headers, package);
    const Bytes tagged_table(package.begin() + table.offset, package.end());
    Bytes signed_table;
    if (tag_writer::FindTagAttribute(tagged_table) &&
        tag_writer::SignatureEnd(tagged_table) == tagged_table.size()) {
        signed_table = tag_writer::RemoveTagAttribute(tagged_table);
    } else {
        const std::uint32_t record_length =
            ReadU32(package.data(), table.offset + kCertificateLengthOffset);
        Require(record_length >= kCertificateRecordHeaderSize && record_length <= table.size,
                "the signature record does not lie inside the certificate table");
        signed_table.assign(tagged_table.begin(), tagged_table.begin() + record_length);
    }
    Bytes image(package.begin(), package.begin() + table.offset);
    image.insert(image.end(), signed_table.begin(), signed_table.end());
    SetSecurityDirectory(image, table.offset, static_cast<std::uint32_t>(signed_table.size()));
    return image;
}

PackageTrailer ReadTrailer(const Bytes& package) {
    Require(package.size() >= kTrailerSize, "the file is shorter than a package trailer");
    return ParseTrailer(package.data() + package.size() - kTrailerSize);
}

void SetSecurityDirectory(Bytes& image, std::uint32_t offset, std::uint32_t size) {
    const std::size_t nt = NtHeaders(image);
    WriteU32(image, nt + kSecurityDirectoryOffset, offset);
    WriteU32(image, nt + kSecurityDirectorySizeOffset, size);
}

}  // namespace package_writer
