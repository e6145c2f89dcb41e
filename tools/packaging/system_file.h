// The packaging tools' one way to the system's files: open, read and write by
// position, copy a range from file to file, close. Sizes and positions are
// 64-bit in every build, so a 32-bit tool handles packages up to their 2 GiB
// limit; nothing maps a whole file. POSIX natively, Windows' file API in the
// Windows builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>

namespace packaging {

// A failed file operation; what() is the system's reason, to be put into a
// message that names the file.
class FileFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An open file, closed by its destructor (a failure to close is then
// ignored: Close reports it).
class SystemFile {
  public:
    // Opens an existing file for reading; others may read, write, rename and
    // delete it meanwhile, as the stub lets them.
    static SystemFile OpenToRead(const std::filesystem::path& path);
    // Creates a file for writing that must not exist yet.
    static SystemFile CreateNew(const std::filesystem::path& path);

    // No file (yet).
    SystemFile() = default;
    SystemFile(SystemFile&& other) noexcept;
    SystemFile& operator=(SystemFile&& other) noexcept;
    ~SystemFile();
    SystemFile(const SystemFile&) = delete;
    SystemFile& operator=(const SystemFile&) = delete;

    std::uint64_t Size() const;
    // Reads up to bytes.size() bytes from position; fewer only at the end of
    // the file.
    std::size_t ReadAt(std::uint64_t position, std::span<std::uint8_t> bytes) const;
    // Writes all of bytes at position.
    void WriteAt(std::uint64_t position, std::span<const std::uint8_t> bytes);
    // Copies size bytes from position of this file to to_position of to
    // inside the system, without passing them through the program
    // (copy_file_range), as far as the system can: returns how many it
    // copied, which is less than size when the system cannot copy the rest
    // that way (then the caller copies it through a buffer; on Windows that
    // is all of it). Throws on a failure of the files themselves (a full
    // disk, a read error).
    std::uint64_t CopyTo(std::uint64_t position, std::uint64_t size, SystemFile& to,
                         std::uint64_t to_position) const;
    // Closes the file, reporting a failure that the system reports only now
    // (a delayed write error).
    void Close();
    bool is_open() const { return native_ != kClosed; }

  private:
    // A file descriptor (POSIX) or a HANDLE (Windows) as an integer; both
    // mark "none" with -1.
    static constexpr std::intptr_t kClosed = -1;
    explicit SystemFile(std::intptr_t native) : native_(native) {}

    std::intptr_t native_ = kClosed;
};

}  // namespace packaging
