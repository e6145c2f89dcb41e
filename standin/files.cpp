// File operations with Windows semantics over POSIX descriptors: creation
// dispositions, share modes between the handles of this process, 32-bit
// file pointer moves, and Windows error codes.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "standin/state.h"

namespace {

using standin::Operation;
using standin::detail::CallFails;
using standin::detail::FileObject;
using standin::detail::Object;

// Access bits that take part in share-mode checks.
constexpr DWORD kReadAccess = GENERIC_READ | 0x1;    // FILE_READ_DATA
constexpr DWORD kWriteAccess = GENERIC_WRITE | 0x6;  // FILE_WRITE_DATA, FILE_APPEND_DATA
constexpr DWORD kDeleteAccess = DELETE;
// Files are created executable for everyone who may read them: Windows has no
// execute bit, and the stub runs what it has written.
constexpr mode_t kNewFileMode = 0777;

bool Reads(DWORD access) {
    return (access & kReadAccess) != 0;
}
bool Writes(DWORD access) {
    return (access & kWriteAccess) != 0;
}
bool Deletes(DWORD access) {
    return (access & kDeleteAccess) != 0;
}

// Windows refuses an open whose access an existing handle does not share, or
// whose share mode does not allow an existing handle's access. Opens for
// attributes alone take no part.
bool SharingConflicts(const FileObject& open, DWORD access, DWORD share) {
    if (!Reads(access) && !Writes(access) && !Deletes(access)) {
        return false;
    }
    if (!Reads(open.access) && !Writes(open.access) && !Deletes(open.access)) {
        return false;
    }
    return (Reads(access) && (open.share & FILE_SHARE_READ) == 0) ||
           (Writes(access) && (open.share & FILE_SHARE_WRITE) == 0) ||
           (Deletes(access) && (open.share & FILE_SHARE_DELETE) == 0) ||
           (Reads(open.access) && (share & FILE_SHARE_READ) == 0) ||
           (Writes(open.access) && (share & FILE_SHARE_WRITE) == 0) ||
           (Deletes(open.access) && (share & FILE_SHARE_DELETE) == 0);
}

bool AnyOpenConflicts(const struct stat& file, DWORD access, DWORD share) {
    const auto open_files = standin::detail::FilesOpenOn(file.st_dev, file.st_ino);
    return std::any_of(open_files.begin(), open_files.end(), [&](const auto& object) {
        return SharingConflicts(std::get<FileObject>(*object), access, share);
    });
}

// The file behind a handle, or null with ERROR_INVALID_HANDLE.
std::shared_ptr<Object> FileFor(HANDLE handle) {
    auto object = standin::detail::FindHandle(handle);
    if (object == nullptr || !std::holds_alternative<FileObject>(*object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

int OpenFlags(DWORD access, DWORD disposition, bool exists) {
    int flags = O_CLOEXEC;
    if (Reads(access) && Writes(access)) {
        flags |= O_RDWR;
    } else if (Writes(access)) {
        flags |= O_WRONLY;
    } else if (Reads(access) || !exists || disposition == CREATE_ALWAYS ||
               disposition == TRUNCATE_EXISTING) {
        flags |= O_RDONLY;
    } else {
        flags |= O_PATH;  // attributes only: no data access at all
    }
    switch (disposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            flags |= O_TRUNC;
            break;
        default:
            break;
    }
    return flags;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                   SECURITY_ATTRIBUTES* /*security*/, DWORD creation_disposition,
                   DWORD /*flags_and_attributes*/, HANDLE /*template_file*/) {
    if (CallFails(Operation::CreateFileW)) {
        return INVALID_HANDLE_VALUE;
    }
    if (creation_disposition < CREATE_NEW || creation_disposition > TRUNCATE_EXISTING ||
        (creation_disposition == TRUNCATE_EXISTING && !Writes(desired_access))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path;
    if (DWORD error = standin::detail::ConvertPath(file_name, path); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }

    struct stat before {};
    const bool exists = stat(path.c_str(), &before) == 0;
    if (exists) {
        if (S_ISDIR(before.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);  // a folder is no file
            return INVALID_HANDLE_VALUE;
        }
        if (creation_disposition == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        // Checked before opening, so a refused open truncates nothing.
        if (AnyOpenConflicts(before, desired_access, share_mode)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    } else if (creation_disposition == OPEN_EXISTING || creation_disposition == TRUNCATE_EXISTING) {
        SetLastError(standin::detail::MissingFileError(path));
        return INVALID_HANDLE_VALUE;
    }

    const int fd =
        open(path.c_str(), OpenFlags(desired_access, creation_disposition, exists), kNewFileMode);
    if (fd < 0) {
        const int error_number = errno;
        SetLastError(error_number == ENOENT ? standin::detail::MissingFileError(path)
                                            : standin::detail::ErrorFromErrno(error_number));
        return INVALID_HANDLE_VALUE;
    }
    auto object = std::make_shared<Object>(std::in_place_type<FileObject>);
    auto& file = std::get<FileObject>(*object);
    file.fd = fd;
    struct stat opened {};
    fstat(fd, &opened);
    file.device = opened.st_dev;
    file.inode = opened.st_ino;
    file.access = desired_access;
    file.share = share_mode;
    HANDLE handle = standin::detail::AddHandle(std::move(object));
    // As on Windows, opening an existing file with a creating disposition
    // succeeds and says so through the last error.
    const bool creating =
        creation_disposition == OPEN_ALWAYS || creation_disposition == CREATE_ALWAYS;
    SetLastError(exists && creating ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              OVERLAPPED* /*overlapped*/) {
    if (CallFails(Operation::ReadFile)) {
        return FALSE;
    }
    auto object = FileFor(file);
    if (object == nullptr) {
        return FALSE;
    }
    const auto& open = std::get<FileObject>(*object);
    if (bytes_read == nullptr || (buffer == nullptr && bytes_to_read > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *bytes_read = 0;
    if (!Reads(open.access)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (auto limit = standin::detail::TransferLimit(Operation::ReadFile)) {
        bytes_to_read = std::min(bytes_to_read, *limit);
    }
    // A synchronous read of a disk file returns the whole request unless the
    // file ends first; the end of the file is success with fewer bytes.
    auto* bytes = static_cast<unsigned char*>(buffer);
    DWORD done = 0;
    while (done < bytes_to_read) {
        const ssize_t got = read(open.fd, bytes + done, bytes_to_read - done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            *bytes_read = done;
            SetLastError(standin::detail::ErrorFromErrno(errno));
            return FALSE;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<DWORD>(got);
    }
    *bytes_read = done;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               OVERLAPPED* /*overlapped*/) {
    if (CallFails(Operation::WriteFile)) {
        return FALSE;
    }
    auto object = FileFor(file);
    if (object == nullptr) {
        return FALSE;
    }
    const auto& open = std::get<FileObject>(*object);
    if (bytes_written == nullptr || (buffer == nullptr && bytes_to_write > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *bytes_written = 0;
    if (!Writes(open.access)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (auto limit = standin::detail::TransferLimit(Operation::WriteFile)) {
        bytes_to_write = std::min(bytes_to_write, *limit);
    }
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    DWORD done = 0;
    while (done < bytes_to_write) {
        const ssize_t put = write(open.fd, bytes + done, bytes_to_write - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            *bytes_written = done;
            SetLastError(standin::detail::ErrorFromErrno(errno));
            return FALSE;
        }
        done += static_cast<DWORD>(put);
    }
    *bytes_written = done;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD move_method) {
    if (CallFails(Operation::SetFilePointer)) {
        return INVALID_SET_FILE_POINTER;
    }
    auto object = FileFor(file);
    if (object == nullptr) {
        return INVALID_SET_FILE_POINTER;
    }
    const auto& open = std::get<FileObject>(*object);
    // Without a high part the distance is a signed 32-bit value; with one,
    // the two halves form a signed 64-bit distance.
    std::int64_t move = distance;
    if (distance_high != nullptr) {
        move = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distance_high)) << 32) |
            static_cast<std::uint32_t>(distance));
    }
    std::int64_t base = 0;
    if (move_method == FILE_CURRENT) {
        base = lseek(open.fd, 0, SEEK_CUR);
    } else if (move_method == FILE_END) {
        struct stat status {};
        fstat(open.fd, &status);
        base = status.st_size;
    } else if (move_method != FILE_BEGIN) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    const std::int64_t target = base + move;
    if (target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    if (distance_high == nullptr && target > 0xFFFFFFFE) {
        SetLastError(ERROR_INVALID_PARAMETER);  // the result would not fit
        return INVALID_SET_FILE_POINTER;
    }
    if (lseek(open.fd, target, SEEK_SET) < 0) {
        SetLastError(standin::detail::ErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (distance_high != nullptr) {
        *distance_high = static_cast<LONG>(static_cast<std::uint64_t>(target) >> 32);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(static_cast<std::uint64_t>(target) & 0xFFFFFFFF);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    if (CallFails(Operation::GetFileSizeEx)) {
        return FALSE;
    }
    auto object = FileFor(file);
    if (object == nullptr) {
        return FALSE;
    }
    if (size == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct stat status {};
    if (fstat(std::get<FileObject>(*object).fd, &status) != 0) {
        SetLastError(standin::detail::ErrorFromErrno(errno));
        return FALSE;
    }
    size->QuadPart = status.st_size;
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    if (CallFails(Operation::CloseHandle)) {
        return FALSE;
    }
    if (standin::detail::RemoveHandle(object) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR file_name) {
    if (CallFails(Operation::DeleteFileW)) {
        return FALSE;
    }
    std::string path;
    if (DWORD error = standin::detail::ConvertPath(file_name, path); error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        SetLastError(standin::detail::MissingFileError(path));
        return FALSE;
    }
    if (S_ISDIR(status.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A file open without FILE_SHARE_DELETE cannot be deleted.
    if (AnyOpenConflicts(status, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (unlink(path.c_str()) != 0) {
        SetLastError(standin::detail::ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}
