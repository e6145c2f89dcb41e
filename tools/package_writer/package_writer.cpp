#include "tools/package_writer/package_writer.h"

#include <algorithm>

#include "tools/package_writer/signature_tag.h"
#include "tools/package_writer/tag_writer.h"

namespace package_writer {

namespace {

using namespace package_layout;

// IMAGE_FILE_HEADER and IMAGE_OPTIONAL_HEADER32 fields the synthetic image
// fills in besides those the stub reads.
constexpr std::size_t kMachineOffset = 4;                // FileHeader.Machine, u16
constexpr std::uint16_t kMachineI386 = 0x14C;            // IMAGE_FILE_MACHINE_I386
constexpr std::size_t kSizeOfOptionalHeaderOffset = 20;  // FileHeader.SizeOfOptionalHeader
constexpr std::uint16_t kOptionalHeader32Size = 0xE0;
constexpr std::size_t kCharacteristicsOffset = 22;       // FileHeader.Characteristics
constexpr std::uint16_t kExecutableImage = 0x0102;       // EXECUTABLE_IMAGE | 32BIT_MACHINE
constexpr std::size_t kNumberOfRvaAndSizesOffset = 116;  // OptionalHeader.NumberOfRvaAndSizes
constexpr std::uint32_t kDataDirectoryCount = 16;
constexpr std::size_t kSectionNameSize = 8;  // IMAGE_SECTION_HEADER.Name

// WIN_CERTIFICATE, the record at the start of the certificate table.
constexpr std::size_t kCertificateHeaderSize = 8;
constexpr std::size_t kCertificateRevisionOffset = 4;  // wRevision, u16
constexpr std::uint16_t kCertificateRevision = 0x0200;
constexpr std::size_t kCertificateTypeOffset = 6;  // wCertificateType, u16
constexpr std::uint16_t kCertificateTypePkcsSignedData = 2;
constexpr std::size_t kCertificateAlignment = 8;

void WriteU16(Bytes& bytes, std::size_t offset, std::uint16_t value) {
    bytes.at(offset) = static_cast<std::uint8_t>(value);
    bytes.at(offset + 1) = static_cast<std::uint8_t>(value >> 8);
}

void WriteU32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void Require(bool condition, const char* message) {
    if (!condition) {
        throw PackageWriterError(message);
    }
}

// The position of the NT headers, checked to lie inside the image.
std::size_t NtHeaders(const Bytes& image) {
    Require(image.size() >= kDosHeaderSize && ReadU16(image.data(), kDosMagicOffset) == kDosMagic,
            "the image has no 'MZ' header");
    const std::int32_t offset = ReadI32(image.data(), kNtHeadersOffsetOffset);
    Require(offset > 0 && static_cast<std::size_t>(offset) + kNtHeadersSize <= image.size(),
            "the image's NT headers do not lie inside it");
    return static_cast<std::size_t>(offset);
}

std::size_t SectionTable(const Bytes& image, std::size_t index) {
    const std::size_t nt = NtHeaders(image);
    Require(index < ReadU16(image.data(), nt + kNumberOfSectionsOffset),
            "the image has no such section");
    const std::size_t entry = nt + kNtHeadersSize + index * kSectionHeaderSize;
    Require(entry + kSectionHeaderSize <= image.size(),
            "the image's section table does not lie inside it");
    return entry;
}

// The certificate table of a signed image: it must end at the end of the
// file and begin with a WIN_CERTIFICATE record that lies inside it.
SecurityDirectory CertificateTable(const ImageHeaders& headers, const Bytes& image) {
    const SecurityDirectory table = headers.security;
    Require(table.offset != 0 && table.size != 0, "the image is not signed");
    Require(static_cast<std::uint64_t>(table.offset) + table.size == image.size(),
            "the image's certificate table does not end at the end of the file");
    Require(table.size >= kCertificateHeaderSize, "the image's certificate table is too short");
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
    const TagWriter writer(signed_table, options.placement);
    return writer.Pieces(BlocksOf(options)).Concatenate();
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
    WriteU32(package, static_cast<std::size_t>(headers.nt_offset) + kSecurityDirectorySizeOffset,
             static_cast<std::uint32_t>(tagged_table.size()));
    return package;
}

Bytes Untag(const Bytes& package) {
    const ImageHeaders headers = ReadHeaders(package);
    const SecurityDirectory table = CertificateTable(headers, package);
    const Bytes tagged_table(package.begin() + table.offset, package.end());
    Bytes signed_table;
    if (FindTagAttribute(tagged_table) && SignatureEnd(tagged_table) == tagged_table.size()) {
        signed_table = RemoveTagAttribute(tagged_table);
    } else {
        const std::uint32_t record_length = ReadU32(package.data(), table.offset);
        Require(record_length >= kCertificateHeaderSize && record_length <= table.size,
                "the signature record does not lie inside the certificate table");
        signed_table.assign(tagged_table.begin(), tagged_table.begin() + record_length);
    }
    Bytes image(package.begin(), package.begin() + table.offset);
    image.insert(image.end(), signed_table.begin(), signed_table.end());
    WriteU32(image, static_cast<std::size_t>(headers.nt_offset) + kSecurityDirectorySizeOffset,
             static_cast<std::uint32_t>(signed_table.size()));
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

void SetOptionalMagic(Bytes& image, std::uint16_t magic) {
    WriteU16(image, NtHeaders(image) + kOptionalMagicOffset, magic);
}

void SetNtHeadersOffset(Bytes& image, std::int32_t offset) {
    Require(image.size() >= kDosHeaderSize, "the image has no DOS header");
    WriteU32(image, kNtHeadersOffsetOffset, static_cast<std::uint32_t>(offset));
}

void MoveNtHeaders(Bytes& image, std::int32_t offset) {
    const std::size_t nt = NtHeaders(image);
    Require(offset >= static_cast<std::int32_t>(kDosHeaderSize),
            "the NT headers cannot overlap the DOS header");
    const std::uint16_t count = ReadU16(image.data(), nt + kNumberOfSectionsOffset);
    const std::size_t length = kNtHeadersSize + std::size_t{count} * kSectionHeaderSize;
    Require(nt + length <= image.size(), "the image's section table does not lie inside it");
    const Bytes headers(image.begin() + nt, image.begin() + nt + length);
    const auto target = static_cast<std::size_t>(offset);
    if (image.size() < target + length) {
        image.resize(target + length);
    }
    std::copy(headers.begin(), headers.end(), image.begin() + target);
    SetNtHeadersOffset(image, offset);
}

void SetSectionCount(Bytes& image, std::uint16_t count) {
    WriteU16(image, NtHeaders(image) + kNumberOfSectionsOffset, count);
}

void SetSection(Bytes& image, std::size_t index, SectionEntry entry) {
    const std::size_t position = SectionTable(image, index);
    WriteU32(image, position + kPointerToRawDataOffset, entry.pointer);
    WriteU32(image, position + kSizeOfRawDataOffset, entry.size);
}

void AppendBytes(Bytes& image, std::size_t count, std::uint8_t value) {
    image.insert(image.end(), count, value);
}

Bytes BuildSyntheticPe(const SyntheticPeOptions& options) {
    Require(options.nt_offset >= static_cast<std::int32_t>(kDosHeaderSize),
            "the NT headers must lie behind the DOS header");
    Require(options.sections.size() <= UINT16_MAX, "too many sections");
    const auto nt = static_cast<std::size_t>(options.nt_offset);
    const std::size_t headers_end =
        nt + kNtHeadersSize + options.sections.size() * kSectionHeaderSize;

    std::size_t file_size = headers_end;
    for (const SyntheticSection& section : options.sections) {
        if (section.in_file && section.pointer != 0) {
            Require(section.pointer >= headers_end, "a section's data overlaps the headers");
            file_size =
                std::max<std::size_t>(file_size, std::size_t{section.pointer} + section.size);
        }
    }
    Bytes image(file_size, 0);

    WriteU16(image, kDosMagicOffset, kDosMagic);
    WriteU32(image, kNtHeadersOffsetOffset, static_cast<std::uint32_t>(options.nt_offset));
    WriteU32(image, nt + kSignatureOffset, kPeSignature);
    WriteU16(image, nt + kMachineOffset, kMachineI386);
    WriteU16(image, nt + kNumberOfSectionsOffset,
             static_cast<std::uint16_t>(options.sections.size()));
    WriteU16(image, nt + kSizeOfOptionalHeaderOffset, kOptionalHeader32Size);
    WriteU16(image, nt + kCharacteristicsOffset, kExecutableImage);
    WriteU16(image, nt + kOptionalMagicOffset, options.optional_magic);
    WriteU32(image, nt + kNumberOfRvaAndSizesOffset, kDataDirectoryCount);

    for (std::size_t i = 0; i < options.sections.size(); ++i) {
        const SyntheticSection& section = options.sections[i];
        const std::size_t entry = nt + kNtHeadersSize + i * kSectionHeaderSize;
        const std::string name = ".s" + std::to_string(i);
        std::copy_n(name.begin(), std::min(name.size(), kSectionNameSize), image.begin() + entry);
        WriteU32(image, entry + kSizeOfRawDataOffset, section.size);
        WriteU32(image, entry + kPointerToRawDataOffset, section.pointer);
        if (section.in_file && section.pointer != 0) {
            std::fill_n(image.begin() + section.pointer, section.size,
                        static_cast<std::uint8_t>(i + 1));
        }
    }
    image.insert(image.end(), options.tail.begin(), options.tail.end());
    return image;
}

void AttachFakeSignature(Bytes& image, std::uint32_t record_length) {
    Require(record_length >= kCertificateHeaderSize && record_length % kCertificateAlignment == 0,
            "a signature record is a multiple of 8 bytes, header included");
    NtHeaders(image);
    image.resize((image.size() + kCertificateAlignment - 1) / kCertificateAlignment *
                 kCertificateAlignment);
    const std::size_t offset = image.size();
    image.resize(offset + record_length, 0);
    WriteU32(image, offset, record_length);
    WriteU16(image, offset + kCertificateRevisionOffset, kCertificateRevision);
    WriteU16(image, offset + kCertificateTypeOffset, kCertificateTypePkcsSignedData);
    SetSecurityDirectory(image, static_cast<std::uint32_t>(offset), record_length);
}

}  // namespace package_writer
