// A brand as the server tags with it: its icon and picture, read and checked
// at start as `tvkpack tag` checks them and held once, however many
// downloads carry them, with what each download needs of them computed once:
// their checksum sums and the digest its entity tag names them by.
#pragma once

#include <optional>
#include <span>

#include "tools/packaging/sha256.h"
#include "tools/packaging/tool_files.h"
#include "tools/tag_writer/pe_checksum.h"
#include "tools/tag_writer/tag_checksum.h"
#include "tools/tvkserve/serve_config.h"

namespace tvkserve {

using packaging::Bytes;
using packaging::Sha256Digest;
using packaging::Sha256Stream;
using ByteView = std::span<const std::uint8_t>;

class ServedBrand {
  public:
    // Reads the brand's files and checks them and its own parameters as
    // `tvkpack tag` would; throws ConfigError naming the entry at fault.
    explicit ServedBrand(const BrandEntry& entry);

    ByteView icon() const { return icon_; }
    ByteView picture() const { return picture_; }
    // The checksum sums of the icon and the picture, as if each lay at an
    // even position in the file (tag_writer::PeChecksumSum::AddAt).
    const tag_writer::BlockSum& icon_sum() const { return icon_sum_; }
    const tag_writer::BlockSum& picture_sum() const { return picture_sum_; }
    // SHA-256 over the icon and the picture.
    const Sha256Digest& blocks_digest() const { return blocks_digest_; }
    // SHA-256 of the icon and of the picture, as a signed tag names them
    // (nothing for a brand without one).
    const std::optional<packaging::Sha256Digest>& icon_digest() const { return icon_digest_; }
    const std::optional<packaging::Sha256Digest>& picture_digest() const { return picture_digest_; }

  private:
    Bytes icon_;
    Bytes picture_;
    tag_writer::BlockSum icon_sum_;
    tag_writer::BlockSum picture_sum_;
    Sha256Digest blocks_digest_{};
    std::optional<packaging::Sha256Digest> icon_digest_;
    std::optional<packaging::Sha256Digest> picture_digest_;
};

}  // namespace tvkserve
