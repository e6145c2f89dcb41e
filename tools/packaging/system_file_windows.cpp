// The system's files over Windows' file API (the Windows builds). Reads and
// writes name their position in an OVERLAPPED structure on a synchronous
// handle: 64-bit positions in the 32-bit build too, and no file pointer
// shared between them.
#include "platform/windows_api.h"

#include <algorithm>
#include <string>

#include "platform/windows_error_text.h"
#include "tools/packaging/system_file.h"
#include "tools/packaging/tool_files.h"

namespace packaging {

namespace {

// The largest piece handed to one call (its count is a DWORD).
constexpr std::size_t kLargestPiece = 0x40000000;

[[noreturn]] void Fail(DWORD code) {
    std::string reason = Utf8FromWide(GetWindowsErrorText(code));
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                               reason.back() == ' ' || reason.back() == '.')) {
        reason.pop_back();
    }
    throw FileFailure(reason);
}

HANDLE Handle(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}

OVERLAPPED At(std::uint64_t position) {
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(position);
    overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
    return overlapped;
}

std::intptr_t Opened(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) {
        Fail(GetLastError());
    }
    return reinterpret_cast<std::intptr_t>(handle);
}

}  // namespace

SystemFile SystemFile::OpenToRead(const std::filesystem::path& path) {
    return SystemFile(Opened(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)));
}

SystemFile SystemFile::CreateNew(const std::filesystem::path& path) {
    return SystemFile(Opened(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

SystemFile::SystemFile(SystemFile&& other) noexcept : native_(other.native_) {
    other.native_ = kClosed;
}

SystemFile& SystemFile::operator=(SystemFile&& other) noexcept {
    if (this != &other) {
        if (is_open()) {
            CloseHandle(Handle(native_));
        }
        native_ = other.native_;
        other.native_ = kClosed;
    }
    return *this;
}

SystemFile::~SystemFile() {
    if (is_open()) {
        CloseHandle(Handle(native_));
    }
}

std::uint64_t SystemFile::Size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(Handle(native_), &size)) {
        Fail(GetLastError());
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t SystemFile::ReadAt(std::uint64_t position, std::span<std::uint8_t> bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto piece = static_cast<DWORD>(std::min(bytes.size() - done, kLargestPiece));
        OVERLAPPED at = At(position + done);
        DWORD got = 0;
        if (!ReadFile(Handle(native_), bytes.data() + done, piece, &got, &at)) {
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF) {
                break;
            }
            Fail(error);
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

void SystemFile::WriteAt(std::uint64_t position, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto piece = static_cast<DWORD>(std::min(bytes.size() - done, kLargestPiece));
        OVERLAPPED at = At(position + done);
        DWORD put = 0;
        if (!WriteFile(Handle(native_), bytes.data() + done, piece, &put, &at)) {
            Fail(GetLastError());
        }
        if (put == 0) {
            Fail(ERROR_DISK_FULL);
        }
        done += put;
    }
}

std::uint64_t SystemFile::CopyTo(std::uint64_t, std::uint64_t, SystemFile&, std::uint64_t) const {
    // CopyFile copies whole files only, and block cloning
    // (FSCTL_DUPLICATE_EXTENTS_TO_FILE) only on ReFS with cluster-aligned
    // ranges: the caller's buffer copies every range.
    return 0;
}

void SystemFile::Close() {
    const HANDLE handle = Handle(native_);
    native_ = kClosed;
    if (!CloseHandle(handle)) {
        Fail(GetLastError());
    }
}

}  // namespace packaging
