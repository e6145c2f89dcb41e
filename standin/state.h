// Shared state of the stand-in layer: the handle table, the per-thread last
// error, LocalAlloc'd blocks, and the test controls' faults and counts.
// Internal to the stand-in.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "standin/standin_controls.h"
#include "standin/windows_standin.h"

namespace standin::detail {

// An open file: the descriptor, the file's identity (for share checks) and
// the access and share mode it was opened with.
struct FileObject {
    int fd = -1;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    DWORD access = 0;
    DWORD share = 0;

    FileObject() = default;
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;
    ~FileObject();
};

// A started process. status_fd is the read end of the pipe on which the
// child's ExitProcess reports its full 32-bit exit code. A child that has
// ended is reaped when its last handle closes; one still running then is
// left to end on its own.
struct ProcessObject {
    pid_t pid = -1;
    int status_fd = -1;
    bool ended = false;
    DWORD exit_code = 0;
    std::mutex wait_mutex;  // one waiter reaps the child at a time

    ProcessObject() = default;
    ProcessObject(const ProcessObject&) = delete;
    ProcessObject& operator=(const ProcessObject&) = delete;
    ~ProcessObject();
};

// The primary thread of a started process. It ends with the process, so
// waiting on it waits on the process, which it keeps open.
struct ThreadObject {
    pid_t pid = -1;
    std::shared_ptr<ProcessObject> process;
};

using Object = std::variant<std::monostate, FileObject, ProcessObject, ThreadObject>;

// Puts an object into the handle table and returns its new handle.
HANDLE AddHandle(std::shared_ptr<Object> object);
// The object behind a handle, or null for a handle that is not open.
std::shared_ptr<Object> FindHandle(HANDLE handle);
// Removes a handle from the table; null when it was not open.
std::shared_ptr<Object> RemoveHandle(HANDLE handle);
// The files open on one file identity, for share-mode checks.
std::vector<std::shared_ptr<Object>> FilesOpenOn(std::uint64_t device, std::uint64_t inode);

// Counts a call of the operation; true (with the last error set) when the
// test controls make this call fail.
bool CallFails(Operation operation);
// The transfer limit that the test controls set for this call, if any.
std::optional<DWORD> TransferLimit(Operation operation);

// Blocks handed out with the ownership of LocalFree.
void* LocalAllocate(std::size_t bytes);
bool LocalRelease(void* memory);

// The Windows error code for a POSIX errno value.
DWORD ErrorFromErrno(int error_number);
// The Windows code for a missing file: 3 when its folder is missing too.
DWORD MissingFileError(const std::string& posix_path);

// Converts a Windows path to the host's; on failure returns the error code
// Windows gives for such a name and leaves posix_path unspecified.
DWORD ConvertPath(const wchar_t* windows_path, std::string& posix_path);

// UTF-8 and wide text.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// The running program's path as GetModuleFileNameW gives it.
std::wstring RunningProgram();

// Values the test controls set for GetModuleFileNameW and GetTempPathW.
std::optional<std::wstring> ModuleFileNameOverride();
std::optional<std::wstring> TempPathOverride();
bool Wow64Process();
std::optional<std::wstring> SystemDirectoryOverride();
std::optional<std::wstring> SystemWow64DirectoryOverride();
void RecordMessageBox(MessageBoxRecord record);

}  // namespace standin::detail
