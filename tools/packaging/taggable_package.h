// A signed package read once for tagging many copies of it: checked as
// `tvkpack tag` checks its input, its first header bytes, its certificate
// table as signed (walked once by the tag writer) and the checksum's sum of
// the bytes before the table, gathered in one pass over the file that also
// hands every byte to the caller (for the content hash). The download
// server reads its packages so, and `tvkpack manifest` writes down what it
// read for an edge.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tools/download/tag_source.h"
#include "tools/packaging/tool_files.h"

namespace packaging {

// The package file as the reading takes it.
class PackageBytes {
  public:
    virtual ~PackageBytes() = default;
    virtual std::uint64_t size() const = 0;
    // Fills size bytes from offset; the file must hold them.
    virtual void ReadAt(std::uint8_t* bytes, std::size_t size, std::uint64_t offset) const = 0;
    // A path that opens this very file, for the stub's own checks.
    virtual std::filesystem::path CheckPath() const = 0;
};

struct TaggablePackage {
    Bytes head;  // the first bytes, up to the end of the security directory's Size
    std::shared_ptr<const download::TagSource> source;
    // What is odd about the file but does not stop its tagging.
    std::vector<std::string> warnings;
};

// Reads the package: a regular file below 2 GiB that the stub's own checks
// accept, whose certificate table ends at its end and holds a signature
// that takes a tag (and at most a tag that tvkpack wrote). Every byte of
// the file goes to each_part once, in order. Throws CommandError saying
// what is wrong.
TaggablePackage ReadTaggablePackage(
    const PackageBytes& file, const std::function<void(std::span<const std::uint8_t>)>& each_part);

}  // namespace packaging
