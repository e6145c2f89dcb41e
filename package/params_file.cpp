// ReadData and ExtractParams: the parameters block, base64 text in the extra
// data area, decoded into the parameters file that the installer reads.
#include <cstring>
#include <string_view>

#include "package/base64.h"
#include "package/package_layout.h"
#include "package/package_trailer.h"
#include "package/pe_reader.h"
#include "platform/file_io.h"
#include "platform/pe_format_exception.h"

namespace {

using namespace package_layout;

constexpr char kUnsupportedVersion[] = "Unsupported TVK package version for ReadData";
constexpr char kParamsTooBig[] = "Package data too big";

// Where the parameters block starts: directly at the extra data in version 1,
// behind the icon and the picture in version 2. The sum wraps as a 32-bit
// value; a position that comes out negative reads nothing.
std::int32_t ParamsPosition(std::int32_t table_offset, const PackageTrailer& trailer) {
    const std::int32_t extra_data = Add32(table_offset, trailer.extra_data_offset);
    if (trailer.version == kPackageVersion1) {
        return extra_data;  // the 8 bytes in front of a 16-byte trailer are not fields
    }
    return Add32(Add32(extra_data, trailer.icon_size), trailer.picture_size);
}

}  // namespace

std::vector<std::uint8_t> PeReader::ReadData(std::int32_t& version) const {
    std::vector<std::uint8_t> buffer;
    std::size_t read = 0;
    std::int32_t package_version = 0;
    {
        PackageFile package(path_, certificate_table_offset_, certificate_table_size_);
        const PackageTrailer& trailer = package.trailer();
        if (trailer.version != kPackageVersion1 && trailer.version != kPackageVersion2) {
            throw PeFormatException(kUnsupportedVersion);
        }
        CheckBlockSize(trailer.params_size, kParamsTooBig);
        read = package.ReadBlock(ParamsPosition(certificate_table_offset_, trailer),
                                 trailer.params_size, buffer);
        package_version = trailer.version;
    }  // the executable is closed here

    // The text ends at the first zero byte of the block, or where reading
    // stopped: every byte behind that is still zero.
    const void* zero = std::memchr(buffer.data(), 0, read);
    const std::size_t text_length =
        zero != nullptr
            ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - buffer.data())
            : read;
    std::vector<std::uint8_t> decoded =
        Base64Decode(std::string_view(reinterpret_cast<const char*>(buffer.data()), text_length));
    version = package_version;
    return decoded;
}

void PeReader::ExtractParams(std::int32_t& version, const std::wstring& path) const {
    const std::vector<std::uint8_t> decoded = ReadData(version);
    // A file that cannot be written is not reported: the run goes on, and
    // the installer finds what was written, if anything.
    WriteWholeFile(path, decoded.data(), decoded.size());
}
