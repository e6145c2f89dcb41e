#include "tests/support/package_images.h"

#include "tools/tag_writer/signature_tag.h"
#include "tools/tag_writer/win_certificate.h"

namespace test_support {

namespace {

using namespace package_layout;
using package_writer::PackageWriterError;
using package_writer::SecurityDirectory;
using tag_writer::kCertificateLengthOffset;
using tag_writer::kCertificateRecordHeaderSize;

constexpr auto Require = tag_writer::Require<PackageWriterError>;

// The certificate table of a signed image: it must end at the end of the
// file and begin with a WIN_CERTIFICATE record that lies inside it.
SecurityDirectory CertificateTable(const Bytes& image) {
    const SecurityDirectory table = package_writer::ReadHeaders(image).security;
    Require(table.offset != 0 && table.size != 0, "the image is not signed");
    Require(static_cast<std::uint64_t>(table.offset) + table.size == image.size(),
            "the image's certificate table does not end at the end of the file");
    Require(table.size >= kCertificateRecordHeaderSize,
            "the image's certificate table is too short");
    return table;
}

// The image up to offset, then table, with the security directory set to it.
Bytes WithTable(const Bytes& image, std::uint32_t offset, const Bytes& table) {
    Bytes result(image.begin(), image.begin() + offset);
    result.insert(result.end(), table.begin(), table.end());
    SetSecurityDirectory(result, offset, static_cast<std::uint32_t>(table.size()));
    return result;
}

}  // namespace

Bytes EmbedImage(const Bytes& stub, const Bytes& installer) {
    package_writer::CheckEmbedding(package_writer::ReadHeaders(stub), stub.size(),
                                   installer.size());
    Bytes package = stub;
    package.insert(package.end(), installer.begin(), installer.end());
    return package;
}

Bytes TagCertificateTable(const Bytes& signed_table, const package_writer::TagOptions& options) {
    const tag_writer::TagWriter writer(signed_table, options.placement);
    return writer.Pieces(options.blocks()).Concatenate();
}

Bytes TagImage(const Bytes& signed_image, const package_writer::TagOptions& options) {
    const SecurityDirectory table = CertificateTable(signed_image);
    const Bytes tagged_table = TagCertificateTable(
        Bytes(signed_image.begin() + table.offset, signed_image.end()), options);
    Require(
        std::uint64_t{table.offset} + tagged_table.size() <= static_cast<std::uint64_t>(INT32_MAX),
        "the package would reach 2 GiB");
    return WithTable(signed_image, table.offset, tagged_table);
}

Bytes UntagImage(const Bytes& package) {
    const SecurityDirectory table = CertificateTable(package);
    const Bytes tagged_table(package.begin() + table.offset, package.end());
    Bytes signed_table;
    if (tag_writer::FindTagAttribute(tagged_table) &&
        tag_writer::SignatureEnd(tagged_table) == tagged_table.size()) {
        signed_table = tag_writer::RemoveTagAttribute(tagged_table);
    } else {
        const std::uint32_t record_length = ReadU32(tagged_table.data(), kCertificateLengthOffset);
        Require(record_length >= kCertificateRecordHeaderSize && record_length <= table.size,
                "the signature record does not lie inside the certificate table");
        signed_table.assign(tagged_table.begin(), tagged_table.begin() + record_length);
    }
    return WithTable(package, table.offset, signed_table);
}

PackageTrailer ReadTrailer(const Bytes& package) {
    Require(package.size() >= kTrailerSize, "the file is shorter than a package trailer");
    return ParseTrailer(package.data() + package.size() - kTrailerSize);
}

void SetSecurityDirectory(Bytes& image, std::uint32_t offset, std::uint32_t size) {
    // Only the NT headers must lie inside the image: deformed images get a
    // directory too.
    Require(image.size() >= kDosHeaderSize && ReadU16(image.data(), kDosMagicOffset) == kDosMagic,
            "the image has no 'MZ' header");
    const std::int32_t nt_offset = ReadI32(image.data(), kNtHeadersOffsetOffset);
    Require(nt_offset > 0 && static_cast<std::size_t>(nt_offset) + kNtHeadersSize <= image.size(),
            "the image's NT headers do not lie inside it");
    const auto nt = static_cast<std::size_t>(nt_offset);
    tag_writer::WriteU32(image, nt + kSecurityDirectoryOffset, offset);
    tag_writer::WriteU32(image, nt + kSecurityDirectorySizeOffset, size);
}

}  // namespace test_support
