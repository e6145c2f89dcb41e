#include "tests/support/synthetic_package.h"

#include "package/package_layout.h"
#include "tools/tag_writer/bytes.h"
#include "tools/tag_writer/win_certificate.h"

namespace test_support {
namespace {

using namespace package_layout;
using namespace tag_writer;

constexpr std::uint32_t kNtOffset = 64;
constexpr std::uint32_t kSectionDataOffset = 512;
constexpr std::uint32_t kSectionDataSize = kSyntheticInstallerOffset - kSectionDataOffset;

void Append(Bytes& bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
}

void Append32(Bytes& bytes, std::uint32_t value) {
    bytes.resize(bytes.size() + 4);
    WriteU32(bytes, bytes.size() - 4, value);
}

}  // namespace

std::string Base64Text(std::size_t length) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text(length, 'A');
    for (std::size_t i = 0; i < length; ++i) {
        text[i] = kAlphabet[(i * 7 + i / 64) % 64];
    }
    return text;
}

Bytes SyntheticPackage::Build() const {
    Bytes file(kSectionDataOffset, 0);
    WriteU16(file, kDosMagicOffset, kDosMagic);
    WriteU32(file, kNtHeadersOffsetOffset, kNtOffset);
    WriteU32(file, kNtOffset + kSignatureOffset, kPeSignature);
    WriteU16(file, kNtOffset + kNumberOfSectionsOffset, 1);
    WriteU16(file, kNtOffset + 20, 0xE0);  // SizeOfOptionalHeader
    WriteU16(file, kNtOffset + kOptionalMagicOffset, kPe32Magic);
    const std::size_t section = kNtOffset + kNtHeadersSize;
    WriteU32(file, section + kSizeOfRawDataOffset, kSectionDataSize);
    WriteU32(file, section + kPointerToRawDataOffset, kSectionDataOffset);
    Append(file, PatternBytes(kSectionDataSize, 3));
    Append(file, installer);

    // The certificate table: a WIN_CERTIFICATE record, then the extra data.
    const auto table_offset = static_cast<std::uint32_t>(file.size());
    Bytes table(signature_size, 0);
    if (signature_size >= kCertificateRecordHeaderSize) {
        WriteU32(table, kCertificateLengthOffset, static_cast<std::uint32_t>(signature_size));
        WriteU16(table, kCertificateRevisionOffset, kCertificateRevision);
        WriteU16(table, kCertificateTypeOffset, kCertificateTypePkcsSignedData);
        for (std::size_t i = kCertificateRecordHeaderSize; i < signature_size; ++i) {
            table[i] = static_cast<std::uint8_t>(i * 31);
        }
    }
    if (with_trailer) {
        const Bytes params(params_text.begin(), params_text.end());
        if (version == kPackageVersion2) {
            Append(table, icon);
            Append(table, picture);
        }
        Append(table, params);
        if (version == kPackageVersion2) {
            Append32(table, static_cast<std::uint32_t>(
                                icon_size.value_or(static_cast<std::int32_t>(icon.size()))));
            Append32(table, static_cast<std::uint32_t>(
                                picture_size.value_or(static_cast<std::int32_t>(picture.size()))));
        }
        Append32(table, static_cast<std::uint32_t>(
                            params_size.value_or(static_cast<std::int32_t>(params.size()))));
        Append32(table, static_cast<std::uint32_t>(
                            extra_data_offset.value_or(static_cast<std::int32_t>(signature_size))));
        Append32(table, static_cast<std::uint32_t>(version));
        Append32(table, magic.value_or(kPackageMagic));
    }
    Append(file, table);
    WriteU32(file, kNtOffset + kSecurityDirectoryOffset, table_offset);
    WriteU32(file, kNtOffset + kSecurityDirectorySizeOffset,
             static_cast<std::uint32_t>(table.size()));
    return file;
}

}  // namespace test_support
