// The layout of a package: a PE32 stub, the installer image behind the
// stub's last section, and the certificate table at the very end of the file
// holding the Authenticode signature, the extra data area and the 24-byte
// package trailer. All numbers in the file are little-endian.
//
// The certificate table lies outside the signed hash, so everything in the
// extra data area and the trailer is untrusted input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace package_layout {

// IMAGE_DOS_HEADER
constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kDosMagicOffset = 0;          // e_magic, u16
constexpr std::uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::size_t kNtHeadersOffsetOffset = 60;  // e_lfanew, i32
constexpr std::int32_t kMaxNtHeadersOffset = 4096;  // largest accepted e_lfanew

// IMAGE_NT_HEADERS32, at e_lfanew
constexpr std::size_t kNtHeadersSize = 248;
constexpr std::size_t kSignatureOffset = 0;         // Signature, u32
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::size_t kNumberOfSectionsOffset = 6;  // FileHeader.NumberOfSections, u16
constexpr std::size_t kOptionalMagicOffset = 24;    // OptionalHeader.Magic, u16
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::size_t kSecurityDirectoryOffset = 152;      // DataDirectory[4].VirtualAddress
constexpr std::size_t kSecurityDirectorySizeOffset = 156;  // DataDirectory[4].Size

// IMAGE_SECTION_HEADER, from e_lfanew + kNtHeadersSize, one after another
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSizeOfRawDataOffset = 16;     // u32
constexpr std::size_t kPointerToRawDataOffset = 20;  // u32

// Package trailer: the last 24 bytes of the certificate table.
constexpr std::size_t kTrailerSize = 24;
constexpr std::size_t kIconSizeOffset = 0;           // i32, version 2 only
constexpr std::size_t kPictureSizeOffset = 4;        // i32, version 2 only
constexpr std::size_t kParamsSizeOffset = 8;         // i32
constexpr std::size_t kExtraDataOffsetOffset = 12;   // i32, from the certificate table's start
constexpr std::size_t kVersionOffset = 16;           // i32
constexpr std::size_t kMagicOffset = 20;             // "TVKS"
constexpr std::uint32_t kPackageMagic = 0x534B5654;  // "TVKS" read as a little-endian u32
constexpr std::size_t kVersion1TrailerSize = 16;     // a version-1 trailer is the last 16 bytes

constexpr std::int32_t kPackageVersion1 = 1;
constexpr std::int32_t kPackageVersion2 = 2;

// Largest block (parameters, picture, icon) a package may carry; inclusive.
constexpr std::int32_t kBlockSizeLimit = 0x1400000;

// Little-endian reads from a byte buffer that the caller has sized.
inline std::uint16_t ReadU16(const std::uint8_t* bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline std::uint32_t ReadU32(const std::uint8_t* bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) |
           (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

inline std::int32_t ReadI32(const std::uint8_t* bytes, std::size_t offset) {
    return static_cast<std::int32_t>(ReadU32(bytes, offset));
}

// The package trailer as read from the file; every field is taken as signed.
struct PackageTrailer {
    std::int32_t icon_size = 0;
    std::int32_t picture_size = 0;
    std::int32_t params_size = 0;
    std::int32_t extra_data_offset = 0;
    std::int32_t version = 0;
    std::uint32_t magic = 0;
};

inline PackageTrailer ParseTrailer(const std::uint8_t* bytes) {
    return {ReadI32(bytes, kIconSizeOffset),   ReadI32(bytes, kPictureSizeOffset),
            ReadI32(bytes, kParamsSizeOffset), ReadI32(bytes, kExtraDataOffsetOffset),
            ReadI32(bytes, kVersionOffset),    ReadU32(bytes, kMagicOffset)};
}

// 32-bit sums as the package format defines them: they wrap, never overflow.
inline std::int32_t Add32(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

}  // namespace package_layout
