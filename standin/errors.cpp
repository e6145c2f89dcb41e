// The system's texts for Windows error codes, and LocalFree for the blocks
// that the stand-in hands out.
#include <cwchar>
#include <string_view>

#include "standin/state.h"

namespace {

using standin::Operation;
using standin::detail::CallFails;

struct ErrorText {
    DWORD code;
    std::wstring_view text;
};

// The English texts Windows gives for the codes the stand-in produces, each
// ending with the system's CR LF. Codes not listed have no text, as an
// unassigned code has none on Windows.
constexpr ErrorText kErrorTexts[] = {
    {ERROR_SUCCESS, L"The operation completed successfully.\r\n"},
    {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, L"The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, L"Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, L"The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     L"Not enough memory resources are available to process this command.\r\n"},
    {ERROR_OUTOFMEMORY,
     L"Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_WRITE_FAULT, L"The system cannot write to the specified device.\r\n"},
    {ERROR_READ_FAULT, L"The system cannot read from the specified device.\r\n"},
    {ERROR_GEN_FAILURE, L"A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION,
     L"The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_HANDLE_EOF, L"Reached the end of the file.\r\n"},
    {ERROR_BAD_NETPATH, L"The network path was not found.\r\n"},
    {ERROR_FILE_EXISTS, L"The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, L"The parameter is incorrect.\r\n"},
    {ERROR_DISK_FULL, L"There is not enough space on the disk.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, L"The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_NEGATIVE_SEEK,
     L"An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {ERROR_ALREADY_EXISTS, L"Cannot create a file when that file already exists.\r\n"},
    {ERROR_BAD_EXE_FORMAT, L"%1 is not a valid Win32 application.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, L"The filename or extension is too long.\r\n"},
};

const ErrorText* FindText(DWORD code) {
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

DWORD FormatMessageW(DWORD flags, LPCVOID /*source*/, DWORD message_id, DWORD /*language_id*/,
                     LPWSTR buffer, DWORD size, va_list* /*arguments*/) {
    if (CallFails(Operation::FormatMessageW)) {
        return 0;
    }
    // Only system texts are served; inserts are never expanded.
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const ErrorText* entry = FindText(message_id);
    if (entry == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::size_t length = entry->text.size();
    wchar_t* target = buffer;
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        // The caller passed the address of its pointer in place of a buffer.
        target = static_cast<wchar_t*>(standin::detail::LocalAllocate(
            (length + 1 > size ? length + 1 : size) * sizeof(wchar_t)));
        if (target == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<LPWSTR*>(buffer) = target;
    } else if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wmemcpy(target, entry->text.data(), length);
    target[length] = L'\0';
    return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
    if (CallFails(Operation::LocalFree)) {
        return memory;
    }
    if (memory == nullptr || standin::detail::LocalRelease(memory)) {
        return nullptr;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return memory;
}
