// A minimal package built in memory: a PE32 stub with one section, the
// installer image, and a certificate table holding stand-in signature bytes,
// the extra data area and the package trailer. Enough for the reader's block
// operations; real signed packages come from the package writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace test_support {

struct SyntheticPackage {
    Bytes installer = PatternBytes(3000, 7);
    std::size_t signature_size = 512;  // bytes standing in for the signature
    bool with_trailer = true;
    std::int32_t version = 1;
    std::string params_text;  // the parameters block as stored (base64 text)
    Bytes icon;               // version 2 only
    Bytes picture;            // version 2 only

    // Trailer fields written instead of the true values, for damaged packages.
    std::optional<std::int32_t> icon_size;
    std::optional<std::int32_t> picture_size;
    std::optional<std::int32_t> params_size;
    std::optional<std::int32_t> extra_data_offset;
    std::optional<std::uint32_t> magic;

    Bytes Build() const;
};

// Clean base64 text of exactly length characters, for large parameters blocks.
std::string Base64Text(std::size_t length);

// Where the pieces of a built synthetic package lie.
constexpr std::uint32_t kSyntheticInstallerOffset = 1024;
inline std::uint32_t SyntheticCertificateTableOffset(const SyntheticPackage& package) {
    return kSyntheticInstallerOffset + static_cast<std::uint32_t>(package.installer.size());
}

}  // namespace test_support
