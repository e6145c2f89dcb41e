// The system's files over POSIX (the native build).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tools/packaging/system_file.h"

namespace packaging {

namespace {

// The largest piece handed to one call, so that a count always fits the
// system's types.
constexpr std::size_t kLargestPiece = 0x40000000;

[[noreturn]] void Fail() {
    throw FileFailure(std::strerror(errno));
}

int Descriptor(std::intptr_t native) {
    return static_cast<int>(native);
}

// The errors by which copy_file_range says that it cannot copy between these
// files (no such call, other file systems, a file system without it), not
// that the files failed.
bool CannotCopyInKernel(int error) {
    return error == ENOSYS || error == EXDEV || error == EOPNOTSUPP || error == EINVAL ||
           error == ETXTBSY;
}

}  // namespace

SystemFile SystemFile::OpenToRead(const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        Fail();
    }
    SystemFile file(descriptor);
    // Read front to back: the system may read ahead generously.
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    return file;
}

SystemFile SystemFile::CreateNew(const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                  S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH);
    if (descriptor < 0) {
        Fail();
    }
    return SystemFile(descriptor);
}

SystemFile::SystemFile(SystemFile&& other) noexcept : native_(other.native_) {
    other.native_ = kClosed;
}

SystemFile& SystemFile::operator=(SystemFile&& other) noexcept {
    if (this != &other) {
        if (is_open()) {
            ::close(Descriptor(native_));
        }
        native_ = other.native_;
        other.native_ = kClosed;
    }
    return *this;
}

SystemFile::~SystemFile() {
    if (is_open()) {
        ::close(Descriptor(native_));
    }
}

std::uint64_t SystemFile::Size() const {
    struct stat status {};
    if (::fstat(Descriptor(native_), &status) != 0) {
        Fail();
    }
    return static_cast<std::uint64_t>(status.st_size);
}

std::size_t SystemFile::ReadAt(std::uint64_t position, std::span<std::uint8_t> bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t piece = std::min(bytes.size() - done, kLargestPiece);
        const ssize_t got = ::pread(Descriptor(native_), bytes.data() + done, piece,
                                    static_cast<off_t>(position + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            Fail();
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void SystemFile::WriteAt(std::uint64_t position, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t piece = std::min(bytes.size() - done, kLargestPiece);
        const ssize_t put = ::pwrite(Descriptor(native_), bytes.data() + done, piece,
                                     static_cast<off_t>(position + done));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            errno = put == 0 ? ENOSPC : errno;
            Fail();
        }
        done += static_cast<std::size_t>(put);
    }
}

std::uint64_t SystemFile::CopyTo(std::uint64_t position, std::uint64_t size, SystemFile& to,
                                 std::uint64_t to_position) const {
    const int from = Descriptor(native_);
    const std::uint64_t end = position + size;
    std::uint64_t done = position;
    while (done < end) {
        // The next range that holds data; holes stay holes in the copy, as
        // cp leaves them (a file system that cannot tell calls it all data).
        const off_t data = ::lseek(from, static_cast<off_t>(done), SEEK_DATA);
        if (data < 0 && errno != ENXIO) {
            break;  // no such call here: the caller's buffer copies the rest
        }
        const std::uint64_t data_start =
            data < 0 ? end : std::min(end, static_cast<std::uint64_t>(data));
        const off_t hole = data < 0 ? -1 : ::lseek(from, data, SEEK_HOLE);
        const std::uint64_t data_end =
            hole < 0 ? end : std::min(end, static_cast<std::uint64_t>(hole));
        done = data_start;
        while (done < data_end) {
            auto in = static_cast<off_t>(done);
            auto out = static_cast<off_t>(to_position + (done - position));
            const auto piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(data_end - done, kLargestPiece));
            const ssize_t copied =
                ::copy_file_range(from, &in, Descriptor(to.native_), &out, piece, 0);
            if (copied < 0 && errno == EINTR) {
                continue;
            }
            if (copied < 0 && CannotCopyInKernel(errno)) {
                return done - position;
            }
            if (copied < 0) {
                Fail();
            }
            if (copied == 0) {
                return done - position;  // the end of the file: the caller's reads find it
            }
            done += static_cast<std::uint64_t>(copied);
        }
    }
    // A hole at the end of the range: the copy must reach that far all the
    // same.
    struct stat status {};
    if (::fstat(Descriptor(to.native_), &status) != 0) {
        Fail();
    }
    const std::uint64_t copy_end = to_position + (done - position);
    if (static_cast<std::uint64_t>(status.st_size) < copy_end &&
        ::ftruncate(Descriptor(to.native_), static_cast<off_t>(copy_end)) != 0) {
        Fail();
    }
    return done - position;
}

void SystemFile::Close() {
    const int descriptor = Descriptor(native_);
    native_ = kClosed;
    if (::close(descriptor) != 0 && errno != EINTR) {
        Fail();
    }
}

}  // namespace packaging
