// A signed package as the server sends it: everything before the certificate
// table comes from the file on disk, and only the first header bytes and the
// certificate table differ per tag. The package is read once at start, for
// its checks, its checksum's partial sum and its content hash; afterwards the
// server holds the open file, its headers and its signed certificate table,
// never the package.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tools/tvkpack/pe_checksum.h"
#include "tools/tvkpack/tvkpack_commands.h"

namespace tvkserve {

using Bytes = std::vector<std::uint8_t>;

// One tagged form of a package: the file's bytes [0, head.size()) are head,
// [head.size(), body_end) come from the file on disk as they are, and the
// certificate table follows. The same for equal tags, byte for byte.
struct TaggedDownload {
    Bytes head;                  // with the security directory's Size and the CheckSum set
    Bytes table;                 // the tagged certificate table
    std::uint64_t body_end = 0;  // where the table begins
    std::uint64_t size = 0;      // the whole download
    std::string etag;            // strong: from the package's content and the table
    int file = -1;               // the package's open file, owned by its ServedPackage
};

// An open file descriptor, closed by its destructor.
class FileDescriptor {
  public:
    explicit FileDescriptor(int descriptor = -1) : descriptor_(descriptor) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return descriptor_; }

  private:
    int descriptor_;
};

class ServedPackage {
  public:
    // Opens the package and checks it as `tvkpack tag` checks its input: the
    // stub's own reader accepts it and its certificate table holds a
    // signature and at most a tag that tvkpack wrote. Throws
    // tvkpack::CommandError saying what is wrong.
    explicit ServedPackage(const std::filesystem::path& file);

    // The package tagged with content, exactly as `tvkpack tag` tags the
    // file. Throws tvkpack::CommandError when content cannot be a tag (the
    // checks of `tvkpack tag`) or the result would reach 2 GiB.
    std::shared_ptr<const TaggedDownload> Tag(const tvkpack::TagContent& content) const;

    // What is odd about the file but does not stop the server.
    const std::vector<std::string>& warnings() const { return warnings_; }

  private:
    FileDescriptor file_;
    std::uint64_t table_offset_ = 0;
    std::size_t nt_offset_ = 0;
    Bytes head_;          // [0, NT headers' end): holds the fields a tag changes
    Bytes signed_table_;  // the certificate table without any tag
    // The words of [0, table_offset_) less the CheckSum and the security
    // directory's Size, the two fields a tag changes there.
    tvkpack::PeChecksumSum prefix_sum_;
    bool checksum_set_ = false;  // a CheckSum of 0 ("not set") stays 0
    std::uint64_t content_hash_ = 0;
    std::vector<std::string> warnings_;
};

}  // namespace tvkserve
