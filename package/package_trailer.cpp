#include "package/package_trailer.h"

#include <array>

#include "platform/pe_format_exception.h"
#include "platform/windows_api.h"

namespace {

using namespace package_layout;

constexpr char kNotTvkPackage[] = "Not a TVK package";

// Opened like a stream: others may go on reading and writing the file.
constexpr DWORD kShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;

}  // namespace

PackageFile::PackageFile(const std::wstring& path, std::int32_t table_offset,
                         std::int32_t table_size)
    : file_(path, kShareMode) {
    // The trailer is the last 24 bytes of the certificate table; its position
    // is the 32-bit sum taken as unsigned.
    const std::uint32_t position = static_cast<std::uint32_t>(table_offset) +
                                   static_cast<std::uint32_t>(table_size) -
                                   static_cast<std::uint32_t>(kTrailerSize);
    std::array<std::uint8_t, kTrailerSize> bytes{};
    if (!file_.SeekUnsigned(position) || !file_.ReadExact(bytes.data(), bytes.size())) {
        throw PeFormatException(kNotTvkPackage);
    }
    trailer_ = ParseTrailer(bytes.data());
    if (trailer_.magic != kPackageMagic) {
        throw PeFormatException(kNotTvkPackage);
    }
}

std::size_t PackageFile::ReadBlock(std::int32_t position, std::int32_t size,
                                   std::vector<std::uint8_t>& buffer) {
    const auto length = static_cast<std::size_t>(size);
    buffer.assign(length + 1, 0);
    if (!file_.SeekSigned(position)) {
        return 0;
    }
    return file_.Read(buffer.data(), length);
}

void CheckBlockSize(std::int32_t size, const char* too_big_message) {
    if (size < 0 || size > kBlockSizeLimit) {
        throw PeFormatException(too_big_message);
    }
}
