#include "tools/tvkserve/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/packaging/tool_files.h"

namespace tvkserve {

namespace {

using packaging::CommandError;

[[noreturn]] void SystemFailure(const std::string& what) {
    throw CommandError(what + ": " + std::strerror(errno));
}

std::string TypeOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    return "no regular file";
}

}  // namespace

RegularFile::RegularFile(const std::filesystem::path& path)
    : descriptor_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)) {
    if (descriptor_ < 0) {
        SystemFailure("cannot open it");
    }
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0) {
        const int error = errno;
        ::close(descriptor_);
        errno = error;
        SystemFailure("cannot read its size");
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(descriptor_);
        throw CommandError("it is " + TypeOf(status.st_mode) + ", not a regular file");
    }
    size_ = static_cast<std::uint64_t>(status.st_size);
}

RegularFile::~RegularFile() {
    ::close(descriptor_);
}

std::filesystem::path RegularFile::SamePath() const {
    return "/proc/self/fd/" + std::to_string(descriptor_);
}

std::vector<std::uint8_t> RegularFile::ReadAll(std::uint64_t limit) const {
    if (size_ > limit) {
        throw CommandError("it is " + std::to_string(size_) + " bytes; at most " +
                           std::to_string(limit) + " are taken");
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size_));
    ReadAt(bytes.data(), bytes.size(), 0);
    return bytes;
}

void RegularFile::ReadAt(std::uint8_t* bytes, std::size_t size, std::uint64_t offset) const {
    while (size > 0) {
        const ssize_t got = ::pread(descriptor_, bytes, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            SystemFailure("cannot read it");
        }
        if (got == 0) {
            throw CommandError("it became shorter while it was read");
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
}

}  // namespace tvkserve
