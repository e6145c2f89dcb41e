#include "package/pe_reader.h"

#include <algorithm>
#include <array>

#include "package/package_layout.h"
#include "platform/file_io.h"
#include "platform/pe_format_exception.h"
#include "platform/system_error.h"
#include "platform/windows_api.h"

namespace {

using namespace package_layout;

constexpr char kMissingMzMagic[] = "The file is not a valid executable: missing 'MZ' magic";
constexpr char kWrongHeaderOffset[] =
    "The file is not a valid executable: PE header offset is wrong";
constexpr char kMissingPeSignature[] = "The file is not a valid executable: missing 'PE' signature";
constexpr char kWrongPeMagic[] = "The file is not a valid executable: wrong 32-bit PE magic";
constexpr char kNoSignature[] = "The file does not have a digital signature";
constexpr char kWrongFileSize[] = "The file size is infcorrect";
constexpr char kNoInstallerData[] = "The installer data is missing";
constexpr char kOpenFailed[] = "Failed to open current executable file";
constexpr char kSizeFailed[] = "Failed get file size";

// Every position in a package is a signed 32-bit number, so a package lies
// below 2 GiB.
constexpr std::uint64_t kLargestPackageSize = 0x7FFFFFFF;
// Section headers are read this many at a time.
constexpr std::size_t kSectionBatch = 64;

// The file's size, asked of Windows through a handle of its own.
std::uint64_t QueryFileSize(const std::wstring& path) {
    SystemHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) {
        ThrowSystemError(GetLastError(), kOpenFailed);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.handle, &size)) {
        ThrowSystemError(GetLastError(), kSizeFailed);  // the handle closes as this leaves
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

struct LastSection {
    std::uint32_t pointer = 0;  // PointerToRawData of the best entry so far
    std::uint32_t size = 0;     // its SizeOfRawData
};

// Walks the section table from the header stream's position. The entry with
// the greatest raw-data pointer inside the file wins; ties keep the earlier
// entry, and a zero pointer never wins. Returns false on a short read.
bool FindLastSection(FileReader& headers, std::uint16_t count, std::uint64_t file_size,
                     LastSection& best) {
    std::array<std::uint8_t, kSectionBatch * kSectionHeaderSize> batch{};
    std::size_t remaining = count;
    while (remaining > 0) {
        const std::size_t entries = std::min(remaining, kSectionBatch);
        if (!headers.ReadExact(batch.data(), entries * kSectionHeaderSize)) {
            return false;
        }
        for (std::size_t i = 0; i < entries; ++i) {
            const std::uint8_t* entry = batch.data() + i * kSectionHeaderSize;
            const std::uint32_t pointer = ReadU32(entry, kPointerToRawDataOffset);
            if (pointer <= file_size && pointer > best.pointer) {
                best.pointer = pointer;
                best.size = ReadU32(entry, kSizeOfRawDataOffset);
            }
        }
        remaining -= entries;
    }
    return true;
}

}  // namespace

PeReader::PeReader(const std::wstring& path) : path_(path) {
    // Read like a stream: others may read and write the file meanwhile. A
    // failed open, seek or read leaves the buffer unread, and the check that
    // follows rejects the file.
    FileReader headers(path_, FILE_SHARE_READ | FILE_SHARE_WRITE);

    std::array<std::uint8_t, kDosHeaderSize> dos{};
    const bool dos_read = headers.ReadExact(dos.data(), dos.size());
    if (!dos_read || ReadU16(dos.data(), kDosMagicOffset) != kDosMagic) {
        throw PeFormatException(kMissingMzMagic);
    }

    const std::int32_t nt_offset = ReadI32(dos.data(), kNtHeadersOffsetOffset);
    if (nt_offset == 0 || nt_offset > kMaxNtHeadersOffset) {
        throw PeFormatException(kWrongHeaderOffset);
    }

    // A negative offset passes the check above and fails the seek here.
    std::array<std::uint8_t, kNtHeadersSize> nt{};
    const bool nt_read = headers.SeekSigned(nt_offset) && headers.ReadExact(nt.data(), nt.size());
    if (!nt_read || ReadU32(nt.data(), kSignatureOffset) != kPeSignature) {
        throw PeFormatException(kMissingPeSignature);
    }
    if (ReadU16(nt.data(), kOptionalMagicOffset) != kPe32Magic) {
        throw PeFormatException(kWrongPeMagic);
    }

    // The security directory's VirtualAddress is a file offset.
    const std::uint32_t table_offset = ReadU32(nt.data(), kSecurityDirectoryOffset);
    const std::uint32_t table_size = ReadU32(nt.data(), kSecurityDirectorySizeOffset);
    certificate_table_offset_ = static_cast<std::int32_t>(table_offset);
    certificate_table_size_ = static_cast<std::int32_t>(table_size);
    if (table_offset == 0 || table_size == 0) {
        throw PeFormatException(kNoSignature);
    }

    // The certificate table must end exactly at the end of the file. The sum
    // is taken without wrapping and the size in full, so neither a table
    // whose end wraps around 4 GiB nor a file of 2 GiB or more can pass.
    const std::uint64_t file_size = QueryFileSize(path_);
    if (file_size > kLargestPackageSize ||
        file_size != static_cast<std::uint64_t>(table_offset) + table_size) {
        throw PeFormatException(kWrongFileSize);
    }

    // The installer image fills the gap between the end of the last
    // section's data and the certificate table. Worked out without wrapping,
    // so a section whose data would reach into the table (or past 4 GiB)
    // leaves no room for it.
    LastSection last;
    const std::uint16_t section_count = ReadU16(nt.data(), kNumberOfSectionsOffset);
    if (!FindLastSection(headers, section_count, file_size, last)) {
        throw PeFormatException(kNoInstallerData);
    }
    const std::uint64_t installer_start = static_cast<std::uint64_t>(last.pointer) + last.size;
    if (installer_start >= table_offset) {
        throw PeFormatException(kNoInstallerData);
    }
    installer_offset_ = static_cast<std::int32_t>(installer_start);
    installer_length_ = static_cast<std::int32_t>(table_offset - installer_start);
}

PeReader::~PeReader() = default;
