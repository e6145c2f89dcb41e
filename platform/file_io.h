// Whole-file and positioned access through Windows file handles, for the
// reads and writes that need no more than that. Every handle is owned by a
// SystemHandle from the line it is opened on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/system_handle.h"

// A file opened for reading. A failed open leaves it closed; every later
// operation on it then fails, so callers may test once, at the end.
class FileReader {
  public:
    // share is the Windows share mode granted to other openers.
    FileReader(const std::wstring& path, DWORD share);

    bool is_open() const { return file_.handle != INVALID_HANDLE_VALUE; }

    // Moves to position counted from the start of the file, taken as an
    // unsigned 32-bit value.
    bool SeekUnsigned(std::uint32_t position);
    // Moves to position taken as a signed 32-bit value: a negative position
    // fails, as the file pointer cannot move before the start.
    bool SeekSigned(std::int32_t position);
    // Reads up to size bytes; returns how many it got before the end of the
    // file or a failure.
    std::size_t Read(void* buffer, std::size_t size);
    // True only when exactly size bytes were read.
    bool ReadExact(void* buffer, std::size_t size) { return Read(buffer, size) == size; }

  private:
    SystemHandle file_;
};

// Creates (or truncates) the file at path and writes size bytes to it in one
// go. Returns false when the file cannot be created or written whole.
bool WriteWholeFile(const std::wstring& path, const void* data, std::size_t size);
