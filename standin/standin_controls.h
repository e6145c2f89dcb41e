// Test controls of the Windows stand-in layer: handle accounting, fault
// injection, chosen paths and a record of the message boxes shown. They exist
// only in the stand-in; the product code never sees them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "standin/windows_standin.h"

namespace standin {

// Every operation that can be counted and made to fail.
enum class Operation {
    CreateFileW,
    ReadFile,
    WriteFile,
    SetFilePointer,
    GetFileSizeEx,
    CloseHandle,
    DeleteFileW,
    CreateProcessW,
    WaitForSingleObject,
    GetExitCodeProcess,
    GetModuleFileNameW,
    GetTempPathW,
    FormatMessageW,
    LocalFree,
    CommandLineToArgvW,
    MessageBoxW,
    MessageBoxA,
    CoCreateGuid,
    IsWow64Process,
    GetSystemDirectoryW,
    GetSystemWow64DirectoryW,
};
constexpr std::size_t kOperationCount =
    static_cast<std::size_t>(Operation::GetSystemWow64DirectoryW) + 1;

const char* OperationName(Operation operation);

// Makes the nth call (1-based, counted from now) of an operation fail with
// the given Windows error code, the way the real operation reports failure.
void FailNthCall(Operation operation, unsigned nth, DWORD error_code);

// Makes the nth ReadFile or WriteFile call (counted from now) move at most
// max_bytes and still report success: a file that ends early or a short write.
void LimitNthTransfer(Operation operation, unsigned nth, DWORD max_bytes);

// Calls of an operation since the last ResetControls.
unsigned CallCount(Operation operation);

// Handles and LocalAlloc'd blocks that are currently open.
std::size_t OpenHandleCount();
std::size_t OpenLocalAllocationCount();

// What GetModuleFileNameW and GetTempPathW give; nullopt restores the real
// answer (the running program, and $TMPDIR or /tmp).
void SetModuleFileName(std::optional<std::wstring> path);
void SetTempPath(std::optional<std::wstring> path);

// What IsWow64Process reports for the running process: false (a 64-bit
// program, or any program on 32-bit Windows) until set.
void SetWow64Process(bool wow64);
// What GetSystemDirectoryW and GetSystemWow64DirectoryW give; nullopt
// restores C:\Windows\System32 and C:\Windows\SysWOW64, the folders of a
// 64-bit Windows (only names here: the stand-in has no drive C:).
void SetSystemDirectories(std::optional<std::wstring> system,
                          std::optional<std::wstring> system_wow64);

struct MessageBoxRecord {
    bool wide;  // MessageBoxW rather than MessageBoxA
    bool has_owner;
    std::wstring text;  // MessageBoxA's text is widened byte for byte
    std::wstring caption;
    UINT type;
};
// The boxes "shown" since the last ResetControls; each returned IDOK.
std::vector<MessageBoxRecord> MessageBoxes();

// Clears faults, counts, chosen paths and the message box record.
void ResetControls();

// Path conversion between the Windows view and the host's.
std::wstring ToWindowsPath(const std::string& posix_path);
std::optional<std::string> ToPosixPath(const std::wstring& windows_path);

// Resets the controls on construction and destruction, for a test's scope.
class ScopedControls {
  public:
    ScopedControls() { ResetControls(); }
    ~ScopedControls() { ResetControls(); }
    ScopedControls(const ScopedControls&) = delete;
    ScopedControls& operator=(const ScopedControls&) = delete;
};

}  // namespace standin
