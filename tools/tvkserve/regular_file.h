// The files the server reads (its configuration, packages, pictures, icons,
// keys), opened so that none can hold it up: without blocking (a FIFO or a
// device would wait for a writer or for ever), refused unless regular, with
// the file's type in the message, and read through the one descriptor that
// was checked, so that a rename in between cannot pair one file's checks
// with another file's bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tvkserve {

class RegularFile {
  public:
    // Throws packaging::CommandError saying what is wrong ("it is a FIFO,
    // not a regular file").
    explicit RegularFile(const std::filesystem::path& path);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    int descriptor() const { return descriptor_; }
    std::uint64_t size() const { return size_; }
    // A path that opens this very file again, whatever its name is now
    // (Linux's /proc/self/fd), for code that takes a path.
    std::filesystem::path SamePath() const;

    // The whole file, refused when it is longer than limit bytes.
    std::vector<std::uint8_t> ReadAll(std::uint64_t limit) const;
    // Fills size bytes from offset; the file must hold them.
    void ReadAt(std::uint8_t* bytes, std::size_t size, std::uint64_t offset) const;

  private:
    int descriptor_ = -1;
    std::uint64_t size_ = 0;
};

}  // namespace tvkserve
