#include "tests/support/synthetic_package.h"

#include "package/package_layout.h"

namespace test_support {
namespace {

using namespace package_layout;

constexpr std::uint32_t kNtOffset = 64;
constexpr std::uint32_t kSectionDataOffset = 512;
constexpr std::uint32_t kSectionDataSize = kSyntheticInstallerOffset - kSectionDataOffset;
constexpr std::uint16_t kWinCertificateRevision = 0x0200;
constexpr std::uint16_t kWinCertificateTypePkcs = 2;

void Put16(Bytes& bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void Append(Bytes& bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
}

void Append32(Bytes& bytes, std::uint32_t value) {
    bytes.resize(bytes.size() + 4);
    Put32(bytes, bytes.size() - 4, value);
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
    Put16(file, kDosMagicOffset, kDosMagic);
    Put32(file, kNtHeadersOffsetOffset, kNtOffset);
    Put32(file, kNtOffset + kSignatureOffset, kPeSignature);
    Put16(file, kNtOffset + kNumberOfSectionsOffset, 1);
    Put16(file, kNtOffset + 20, 0xE0);  // SizeOfOptionalHeader
    Put16(file, kNtOffset + kOptionalMagicOffset, kPe32Magic);
    const std::size_t section = kNtOffset + kNtHeadersSize;
    Put32(file, section + kSizeOfRawDataOffset, kSectionDataSize);
    Put32(file, section + kPointerToRawDataOffset, kSectionDataOffset);
    Append(file, PatternBytes(kSectionDataSize, 3));
    Append(file, installer);

    // The certificate table: a WIN_CERTIFICATE record, then the extra data.
    const auto table_offset = static_cast<std::uint32_t>(file.size());
    Bytes table(signature_size, 0);
    if (signature_size >= 8) {
        Put32(table, 0, static_cast<std::uint32_t>(signature_size));
        Put16(table, 4, kWinCertificateRevision);
        Put16(table, 6, kWinCertificateTypePkcs);
        for (std::size_t i = 8; i < signature_size; ++i) {
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
    Put32(file, kNtOffset + kSecurityDirectoryOffset, table_offset);
    Put32(file, kNtOffset + kSecurityDirectorySizeOffset, static_cast<std::uint32_t>(table.size()));
    return file;
}

}  // namespace test_support
