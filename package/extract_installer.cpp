// Copies the installer image out of the stub's own file.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "package/pe_reader.h"
#include "platform/system_error.h"
#include "platform/system_handle.h"
#include "platform/windows_api.h"

namespace {

constexpr char kExtractFailed[] = "Failed to extract the installer";

// The copy buffer: the image moves through it in chunks of at most this size.
constexpr DWORD kCopyBufferSize = 0x100000;

}  // namespace

void PeReader::ExtractInstaller(const std::wstring& target) const {
    // Others may read, write or delete the stub's file while it is copied.
    SystemHandle source(CreateFileW(path_.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (source.handle == INVALID_HANDLE_VALUE) {
        ThrowSystemError(GetLastError(), kExtractFailed);
    }

    // OPEN_ALWAYS opens an existing file without truncating it. The launcher
    // always passes a fresh unique name, so the file is new in practice.
    // Nobody else may write the copy while it is being written.
    SystemHandle copy(CreateFileW(target.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, 0,
                                  nullptr));
    if (copy.handle == INVALID_HANDLE_VALUE) {
        ThrowSystemError(GetLastError(), kExtractFailed);
    }

    // The offset lies below 2 GiB, so a successful move never returns the
    // failure value; a failed one would otherwise copy from the file's start.
    if (SetFilePointer(source.handle, installer_offset_, nullptr, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER) {
        ThrowSystemError(GetLastError(), kExtractFailed);
    }

    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kCopyBufferSize);

    // The image must arrive whole: a copy cut short would be run as if it
    // were the installer. The count goes down by what was really read, so a
    // short read is followed by another; an end of file before the image's
    // end (the file shrank after validation) and a write that takes fewer
    // bytes than offered are failures.
    auto remaining = static_cast<DWORD>(installer_length_);
    while (remaining > 0) {
        const DWORD request = std::min(remaining, kCopyBufferSize);
        DWORD bytes_read = 0;
        if (!ReadFile(source.handle, buffer.get(), request, &bytes_read, nullptr)) {
            ThrowSystemError(GetLastError(), kExtractFailed);
        }
        if (bytes_read == 0) {
            ThrowSystemError(ERROR_HANDLE_EOF, kExtractFailed);
        }

        // Cleared first, so that a code found after a successful short write
        // is the one Windows gave for it.
        SetLastError(ERROR_SUCCESS);
        DWORD bytes_written = 0;
        if (!WriteFile(copy.handle, buffer.get(), bytes_read, &bytes_written, nullptr)) {
            ThrowSystemError(GetLastError(), kExtractFailed);
        }
        if (bytes_written != bytes_read) {
            const DWORD error = GetLastError();
            ThrowSystemError(error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT, kExtractFailed);
        }
        remaining -= std::min(remaining, bytes_read);
    }
    // The buffer is released, then the copy and then the source are closed.
}
