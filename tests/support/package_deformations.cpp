#include "tests/support/package_deformations.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "tests/support/package_images.h"
#include "tools/tag_writer/bytes.h"
#include "tools/tag_writer/win_certificate.h"

namespace test_support {

namespace {

using namespace package_layout;
using namespace tag_writer;

constexpr auto Require = tag_writer::Require<std::invalid_argument>;

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

// The position of the NT headers of an image the package writer can read.
std::size_t NtHeaders(const Bytes& image) {
    return static_cast<std::size_t>(package_writer::ReadHeaders(image).nt_offset);
}

}  // namespace

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

void SetSection(Bytes& image, std::size_t index, package_writer::SectionEntry entry) {
    const package_writer::ImageHeaders headers = package_writer::ReadHeaders(image);
    Require(index < headers.sections.size(), "the image has no such section");
    const std::size_t position =
        static_cast<std::size_t>(headers.nt_offset) + kNtHeadersSize + index * kSectionHeaderSize;
    WriteU32(image, position + kPointerToRawDataOffset, entry.pointer);
    WriteU32(image, position + kSizeOfRawDataOffset, entry.size);
}

void AppendBytes(Bytes& image, std::size_t count, std::uint8_t value) {
    image.insert(image.end(), count, value);
}

void OverrideTrailer(Bytes& tagged, const TrailerOverrides& overrides) {
    Require(tagged.size() >= kTrailerSize, "the bytes are shorter than a package trailer");
    const std::size_t trailer = tagged.size() - kTrailerSize;
    const auto write = [&](std::size_t field, const auto& value) {
        if (value) {
            WriteU32(tagged, trailer + field, static_cast<std::uint32_t>(*value));
        }
    };
    write(kIconSizeOffset, overrides.icon_size);
    write(kPictureSizeOffset, overrides.picture_size);
    write(kParamsSizeOffset, overrides.params_size);
    write(kExtraDataOffsetOffset, overrides.extra_data_offset);
    write(kVersionOffset, overrides.version);
    write(kMagicOffset, overrides.magic);
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
    Require(record_length >= kCertificateRecordHeaderSize &&
                record_length % kCertificateRecordAlignment == 0,
            "a signature record is a multiple of 8 bytes, header included");
    NtHeaders(image);
    image.resize(static_cast<std::size_t>(RoundUpToCertificateRecord(image.size())));
    const std::size_t offset = image.size();
    image.resize(offset + record_length, 0);
    WriteU32(image, offset + kCertificateLengthOffset, record_length);
    WriteU16(image, offset + kCertificateRevisionOffset, kCertificateRevision);
    WriteU16(image, offset + kCertificateTypeOffset, kCertificateTypePkcsSignedData);
    SetSecurityDirectory(image, static_cast<std::uint32_t>(offset), record_length);
}

}  // namespace test_support
