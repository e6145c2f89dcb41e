#include "platform/file_io.h"

#include <algorithm>

namespace {

// The largest single ReadFile or WriteFile request: a DWORD's worth, kept
// well below it.
constexpr std::size_t kMaxTransfer = 0x40000000;

}  // namespace

FileReader::FileReader(const std::wstring& path, DWORD share)
    : file_(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)) {}

bool FileReader::SeekUnsigned(std::uint32_t position) {
    if (!is_open()) {
        return false;
    }
    // With a high part of 0 the low part counts as unsigned.
    LONG high = 0;
    SetLastError(ERROR_SUCCESS);
    const DWORD low = SetFilePointer(file_.handle, static_cast<LONG>(position), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS);
}

bool FileReader::SeekSigned(std::int32_t position) {
    if (!is_open()) {
        return false;
    }
    return SetFilePointer(file_.handle, position, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
}

std::size_t FileReader::Read(void* buffer, std::size_t size) {
    if (!is_open()) {
        return 0;
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const auto request = static_cast<DWORD>(std::min(size - done, kMaxTransfer));
        DWORD got = 0;
        if (!ReadFile(file_.handle, bytes + done, request, &got, nullptr) || got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

bool WriteWholeFile(const std::wstring& path, const void* data, std::size_t size) {
    SystemHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        const auto request = static_cast<DWORD>(std::min(size - done, kMaxTransfer));
        DWORD written = 0;
        if (!WriteFile(file.handle, bytes + done, request, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}
