// A signed package as the server sends it: everything before the certificate
// table comes from the file on disk, and only the first header bytes and the
// certificate table differ per tag. The package is read once at start, for
// its checks, its checksum's partial sum and its content hash; afterwards the
// server holds the open file, its first header bytes and its signed
// certificate table (walked once by the tag writer), never the package.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/download/tag_source.h"
#include "tools/packaging/sha256.h"
#include "tools/packaging/tool_files.h"
#include "tools/tag_writer/pe_checksum.h"
#include "tools/tag_writer/tag_checksum.h"
#include "tools/tag_writer/tag_writer.h"
#include "tools/tvkserve/regular_file.h"
#include "tools/tvkserve/served_brand.h"

namespace tvkserve {

using packaging::Sha256Digest;
using packaging::Sha256Stream;

class ServedPackage;

// One tagged form of a package, built for a response that sends its first
// header bytes or its certificate table: the file's bytes [0, head.size())
// are head, [head.size(), body_end) come from the file on disk as they are,
// and the table's pieces follow. What it holds of its own is a few hundred
// bytes and the parameters block; the pieces it shares (the signed table,
// the icon and the picture) belong to the package and the brand, which its
// holder keeps alive as long as it.
struct TaggedDownload {
    explicit TaggedDownload(tag_writer::TablePieces pieces) : table(std::move(pieces)) {}

    Bytes head;  // with the security directory's Size and the CheckSum set
    tag_writer::TablePieces table;
    std::uint64_t body_end = 0;  // where the table begins
    std::uint64_t size = 0;      // the whole download

    // The bytes this download made for itself.
    std::size_t made_size() const { return head.size() + table.made_size(); }
};

class ServedPackage {
  public:
    // Opens the package and checks it as `tvkpack tag` checks its input: the
    // stub's own reader accepts it, its certificate table holds a signature
    // and at most a tag that tvkpack wrote, and the signature takes a tag.
    // Throws packaging::CommandError saying what is wrong.
    explicit ServedPackage(const std::filesystem::path& file);
    ServedPackage(const ServedPackage&) = delete;
    ServedPackage& operator=(const ServedPackage&) = delete;

    // The size of the package with a tag of that version whose blocks come
    // to blocks_size bytes, from the lengths alone. Throws
    // packaging::CommandError when it would reach 2 GiB.
    std::uint64_t TaggedSize(std::int32_t version, std::size_t blocks_size) const {
        return source_->TaggedSize(version, blocks_size);
    }
    const download::TagSource& source() const { return *source_; }

    // The package tagged with params_text and the brand's icon and picture,
    // exactly as `tvkpack tag` tags the file (a tag inside the signature).
    // The content must have passed packaging::CheckTagContent with that
    // version. Throws packaging::CommandError when the tag cannot be made.
    std::unique_ptr<TaggedDownload> Tag(const ServedBrand& brand, std::string_view params_text,
                                        std::int32_t version) const;

    int file() const { return file_.descriptor(); }
    std::uint64_t table_offset() const { return source_->layout().table_offset; }
    // The first bytes, which a tag changes: bytes from here to the table
    // are sent as they are on disk.
    std::uint64_t head_size() const { return head_.size(); }
    // SHA-256 of the whole file.
    const Sha256Digest& content_hash() const { return content_hash_; }

    // What is odd about the file but does not stop the server.
    const std::vector<std::string>& warnings() const { return warnings_; }

  private:
    RegularFile file_;
    Bytes head_;  // up to the end of the security directory's Size
    std::shared_ptr<const download::TagSource> source_;
    Sha256Digest content_hash_{};
    std::vector<std::string> warnings_;
};

}  // namespace tvkserve
