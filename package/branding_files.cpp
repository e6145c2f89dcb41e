// ExtractPicture and ExtractIco: the branding blocks of a version-2 package,
// copied byte for byte into the files the installer shows.
#include "package/package_layout.h"
#include "package/package_trailer.h"
#include "package/pe_reader.h"
#include "platform/file_io.h"
#include "platform/pe_format_exception.h"

namespace {

using namespace package_layout;

// What tells the picture and the icon apart.
struct BrandingBlock {
    std::int32_t PackageTrailer::*size;  // the trailer field with the block's length
    bool behind_icon;                    // the picture lies behind the icon block
    const char* unsupported_version;
    const char* too_big;
};

constexpr BrandingBlock kPicture = {&PackageTrailer::picture_size, true,
                                    "Unsupported TVK package version for ExtractPicture",
                                    "Picture data too big"};
constexpr BrandingBlock kIcon = {&PackageTrailer::icon_size, false,
                                 "Unsupported TVK package version for ExtractIco",
                                 "Ico data too big"};

// Writes the block to path and returns true, or returns false without
// touching any file when the block is empty.
bool ExtractBrandingBlock(const BrandingBlock& block, const std::wstring& executable,
                          std::int32_t table_offset, std::int32_t table_size,
                          const std::wstring& path) {
    std::vector<std::uint8_t> buffer;
    std::int32_t size = 0;
    {
        PackageFile package(executable, table_offset, table_size);
        const PackageTrailer& trailer = package.trailer();
        if (trailer.version != kPackageVersion2) {
            throw PeFormatException(block.unsupported_version);
        }
        size = trailer.*block.size;
        CheckBlockSize(size, block.too_big);
        if (size == 0) {
            return false;
        }
        // The sums wrap as 32-bit values; a negative position reads nothing.
        std::int32_t position = Add32(table_offset, trailer.extra_data_offset);
        if (block.behind_icon) {
            position = Add32(position, trailer.icon_size);
        }
        // Bytes that cannot be read stay zero and are written all the same.
        package.ReadBlock(position, size, buffer);
    }  // the executable is closed before the output file is created

    // A file that cannot be written is not reported: the run goes on, and
    // the installer finds what was written, if anything.
    WriteWholeFile(path, buffer.data(), static_cast<std::size_t>(size));
    return true;
}

}  // namespace

bool PeReader::ExtractPicture(const std::wstring& path) const {
    return ExtractBrandingBlock(kPicture, path_, certificate_table_offset_, certificate_table_size_,
                                path);
}

bool PeReader::ExtractIco(const std::wstring& path) const {
    return ExtractBrandingBlock(kIcon, path_, certificate_table_offset_, certificate_table_size_,
                                path);
}
