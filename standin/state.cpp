#include "standin/state.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <map>
#include <set>

namespace standin::detail {
namespace {

// Handles are multiples of four, as on Windows, and never 0 or -1.
constexpr std::uintptr_t kHandleStep = 4;
constexpr std::uintptr_t kFirstHandle = 0x100;

struct Fault {
    Operation operation;
    unsigned at_call;  // the value of the call counter that fails
    DWORD error_code;
};

struct Limit {
    Operation operation;
    unsigned at_call;
    DWORD max_bytes;
};

struct State {
    std::mutex mutex;
    std::map<std::uintptr_t, std::shared_ptr<Object>> handles;
    std::uintptr_t next_handle = kFirstHandle;
    std::set<void*> local_blocks;
    std::array<unsigned, kOperationCount> calls{};
    std::vector<Fault> faults;
    std::vector<Limit> limits;
    std::optional<std::wstring> module_file_name;
    std::optional<std::wstring> temp_path;
    bool wow64 = false;
    std::optional<std::wstring> system_directory;
    std::optional<std::wstring> system_wow64_directory;
    std::vector<MessageBoxRecord> message_boxes;
};

State& GetState() {
    static State state;
    return state;
}

thread_local DWORD last_error = 0;

unsigned& CallsOf(State& state, Operation operation) {
    return state.calls[static_cast<std::size_t>(operation)];
}

}  // namespace

FileObject::~FileObject() {
    if (fd >= 0) {
        close(fd);
    }
}

ProcessObject::~ProcessObject() {
    if (!ended && pid > 0) {
        waitpid(pid, nullptr, WNOHANG);  // no zombie for a child that has ended
    }
    if (status_fd >= 0) {
        close(status_fd);
    }
}

HANDLE AddHandle(std::shared_ptr<Object> object) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    const std::uintptr_t value = state.next_handle;
    state.next_handle += kHandleStep;
    state.handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> FindHandle(HANDLE handle) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    auto found = state.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == state.handles.end() ? nullptr : found->second;
}

std::shared_ptr<Object> RemoveHandle(HANDLE handle) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    auto found = state.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == state.handles.end()) {
        return nullptr;
    }
    std::shared_ptr<Object> object = std::move(found->second);
    state.handles.erase(found);
    return object;
}

std::vector<std::shared_ptr<Object>> FilesOpenOn(std::uint64_t device, std::uint64_t inode) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    std::vector<std::shared_ptr<Object>> files;
    for (const auto& [value, object] : state.handles) {
        const auto* file = std::get_if<FileObject>(object.get());
        if (file != nullptr && file->device == device && file->inode == inode) {
            files.push_back(object);
        }
    }
    return files;
}

bool CallFails(Operation operation) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    const unsigned call = ++CallsOf(state, operation);
    for (const Fault& fault : state.faults) {
        if (fault.operation == operation && fault.at_call == call) {
            last_error = fault.error_code;
            return true;
        }
    }
    return false;
}

std::optional<DWORD> TransferLimit(Operation operation) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    const unsigned call = CallsOf(state, operation);
    for (const Limit& limit : state.limits) {
        if (limit.operation == operation && limit.at_call == call) {
            return limit.max_bytes;
        }
    }
    return std::nullopt;
}

void* LocalAllocate(std::size_t bytes) {
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) {
        return nullptr;
    }
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.local_blocks.insert(memory);
    return memory;
}

bool LocalRelease(void* memory) {
    State& state = GetState();
    {
        std::lock_guard lock(state.mutex);
        if (state.local_blocks.erase(memory) == 0) {
            return false;
        }
    }
    std::free(memory);
    return true;
}

DWORD ErrorFromErrno(int error_number) {
    switch (error_number) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENOEXEC:
            return ERROR_BAD_EXE_FORMAT;
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        default:
            return ERROR_GEN_FAILURE;
    }
}

DWORD MissingFileError(const std::string& posix_path) {
    const std::size_t slash = posix_path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    struct stat folder {};
    const std::string parent = posix_path.substr(0, slash);
    if (stat(parent.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    return ERROR_FILE_NOT_FOUND;
}

std::optional<std::wstring> ModuleFileNameOverride() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.module_file_name;
}

std::optional<std::wstring> TempPathOverride() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.temp_path;
}

bool Wow64Process() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.wow64;
}

std::optional<std::wstring> SystemDirectoryOverride() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.system_directory;
}

std::optional<std::wstring> SystemWow64DirectoryOverride() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.system_wow64_directory;
}

void RecordMessageBox(MessageBoxRecord record) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.message_boxes.push_back(std::move(record));
}

}  // namespace standin::detail

DWORD GetLastError() {
    return standin::detail::last_error;
}

void SetLastError(DWORD code) {
    standin::detail::last_error = code;
}

namespace standin {

using detail::GetState;

const char* OperationName(Operation operation) {
    static constexpr std::array<const char*, kOperationCount> kNames = {
        "CreateFileW",
        "ReadFile",
        "WriteFile",
        "SetFilePointer",
        "GetFileSizeEx",
        "CloseHandle",
        "DeleteFileW",
        "CreateProcessW",
        "WaitForSingleObject",
        "GetExitCodeProcess",
        "GetModuleFileNameW",
        "GetTempPathW",
        "FormatMessageW",
        "LocalFree",
        "CommandLineToArgvW",
        "MessageBoxW",
        "MessageBoxA",
        "CoCreateGuid",
        "IsWow64Process",
        "GetSystemDirectoryW",
        "GetSystemWow64DirectoryW",
    };
    return kNames[static_cast<std::size_t>(operation)];
}

void FailNthCall(Operation operation, unsigned nth, DWORD error_code) {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    state.faults.push_back({operation, detail::CallsOf(state, operation) + nth, error_code});
}

void LimitNthTransfer(Operation operation, unsigned nth, DWORD max_bytes) {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    state.limits.push_back({operation, detail::CallsOf(state, operation) + nth, max_bytes});
}

unsigned CallCount(Operation operation) {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    return detail::CallsOf(state, operation);
}

std::size_t OpenHandleCount() {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.handles.size();
}

std::size_t OpenLocalAllocationCount() {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.local_blocks.size();
}

void SetModuleFileName(std::optional<std::wstring> path) {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    state.module_file_name = std::move(path);
}

void SetTempPath(std::optional<std::wstring> path) {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    state.temp_path = std::move(path);
}

void SetWow64Process(bool wow64) {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    state.wow64 = wow64;
}

void SetSystemDirectories(std::optional<std::wstring> system,
                          std::optional<std::wstring> system_wow64) {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    state.system_directory = std::move(system);
    state.system_wow64_directory = std::move(system_wow64);
}

std::vector<MessageBoxRecord> MessageBoxes() {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.message_boxes;
}

void ResetControls() {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    state.calls.fill(0);
    state.faults.clear();
    state.limits.clear();
    state.module_file_name.reset();
    state.temp_path.reset();
    state.wow64 = false;
    state.system_directory.reset();
    state.system_wow64_directory.reset();
    state.message_boxes.clear();
}

}  // namespace standin
