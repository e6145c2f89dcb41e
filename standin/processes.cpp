// Processes with Windows semantics over posix_spawn and waitpid.
//
// A started program receives the caller's command line text whole: the
// stand-in passes it in the environment variable TVK_STANDIN_COMMAND_LINE
// (UTF-8), which GetCommandLineW in the child returns. Programs that are not
// built on the stand-in get the text split by the Windows rules as their argv.
// The child's ExitProcess writes its full 32-bit exit code (4 bytes, little
// endian) to a status pipe whose descriptor it finds in TVK_STANDIN_STATUS_FD;
// a child that ends any other way gives its 8-bit exit status, or for a death
// by signal the code Windows gives for the matching failure (see
// ExitCodeForSignal). A child built on the stand-in removes both variables
// from its environment and closes the pipe on exec before main, so it sees
// the caller's environment unchanged; other programs keep them.
//
// No handle is inherited: every descriptor of the stand-in is close-on-exec,
// and only the status pipe's write end is handed to the child. The child keeps
// the caller's current directory and standard descriptors (the console it
// would share on Windows).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "standin/command_line.h"
#include "standin/state.h"

extern char** environ;

namespace {

using standin::Operation;
using standin::detail::CallFails;
using standin::detail::Object;
using standin::detail::ProcessObject;
using standin::detail::ThreadObject;

constexpr char kCommandLineVariable[] = "TVK_STANDIN_COMMAND_LINE";
constexpr char kStatusFdVariable[] = "TVK_STANDIN_STATUS_FD";
// The exit code that ExitProcess reports: a 32-bit little-endian value.
constexpr std::size_t kStatusSize = 4;
// The longest command line Windows takes, its terminator included; Windows
// refuses a longer one with ERROR_FILENAME_EXCED_RANGE.
constexpr std::size_t kMaxCommandLine = 32767;
// How often a wait with a time limit looks at the child again.
constexpr auto kPollInterval = std::chrono::milliseconds(1);

// Windows status codes for the failures that end a POSIX process by signal.
constexpr DWORD kStatusAccessViolation = 0xC0000005;
constexpr DWORD kStatusIllegalInstruction = 0xC000001D;
constexpr DWORD kStatusIntegerDivideByZero = 0xC0000094;
constexpr DWORD kStatusControlCExit = 0xC000013A;
// What abort() gives on Windows.
constexpr DWORD kAbortExitCode = 3;
// What a process ended from outside (TerminateProcess, taskkill /f) gives.
constexpr DWORD kTerminatedExitCode = 1;

// What the stand-in that started this program handed it; taken before main.
char* inherited_command_line = nullptr;  // UTF-8, owned for the whole run
int status_fd = -1;

__attribute__((constructor)) void TakeStartupFromParent() {
    if (const char* line = std::getenv(kCommandLineVariable)) {
        inherited_command_line = strdup(line);
        unsetenv(kCommandLineVariable);
    }
    if (const char* text = std::getenv(kStatusFdVariable)) {
        char* end = nullptr;
        const long fd = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && fd >= 0 && fd <= INT32_MAX &&
            fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC) == 0) {
            status_fd = static_cast<int>(fd);
        }
        unsetenv(kStatusFdVariable);
    }
}

// The command line of a program started without the stand-in: its real
// arguments, quoted so that CommandLineToArgvW gives them back.
std::wstring CommandLineFromArguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::wstring> arguments;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = std::min(all.find('\0', at), all.size());
        arguments.push_back(standin::detail::Widen(all.substr(at, end - at)));
        at = end + 1;
    }
    if (arguments.empty()) {
        return {};
    }
    arguments[0] = standin::ToWindowsPath(standin::detail::Narrow(arguments[0]));
    return standin::detail::ComposeWindowsCommandLine(arguments);
}

DWORD ExitCodeForSignal(int signal_number) {
    switch (signal_number) {
        case SIGSEGV:
        case SIGBUS:
            return kStatusAccessViolation;
        case SIGILL:
            return kStatusIllegalInstruction;
        case SIGFPE:
            return kStatusIntegerDivideByZero;
        case SIGABRT:
            return kAbortExitCode;
        case SIGINT:
            return kStatusControlCExit;
        default:
            return kTerminatedExitCode;
    }
}

// The exit code of a reaped child: what its ExitProcess reported, else its
// wait status in Windows terms (null when the status was lost).
DWORD ExitCodeOf(const int* wait_status, int pipe_fd) {
    unsigned char bytes[kStatusSize] = {};
    ssize_t got = 0;
    do {
        got = read(pipe_fd, bytes, sizeof bytes);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(kStatusSize)) {
        return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
               static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
    }
    if (wait_status == nullptr) {
        return kTerminatedExitCode;  // never success for an unknown end
    }
    if (WIFSIGNALED(*wait_status)) {
        return ExitCodeForSignal(WTERMSIG(*wait_status));
    }
    return static_cast<DWORD>(WEXITSTATUS(*wait_status));
}

// Reaps the child if it has ended (or, with block, once it ends). The caller
// holds the process's wait_mutex. True when the child has ended.
bool Reap(ProcessObject& process, bool block) {
    if (process.ended) {
        return true;
    }
    int wait_status = 0;
    pid_t got = 0;
    do {
        got = waitpid(process.pid, &wait_status, block ? 0 : WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == 0) {
        return false;
    }
    // A child reaped elsewhere (SIGCHLD ignored) has ended; its status is lost.
    process.exit_code = ExitCodeOf(got > 0 ? &wait_status : nullptr, process.status_fd);
    process.ended = true;
    return true;
}

// The process behind a process or thread handle, or null.
std::shared_ptr<ProcessObject> ProcessFor(HANDLE handle, bool thread_allowed) {
    auto object = standin::detail::FindHandle(handle);
    if (object == nullptr) {
        return nullptr;
    }
    if (std::holds_alternative<ProcessObject>(*object)) {
        return {object, &std::get<ProcessObject>(*object)};
    }
    if (thread_allowed && std::holds_alternative<ThreadObject>(*object)) {
        return std::get<ThreadObject>(*object).process;
    }
    return nullptr;
}

// Owns the parts of a spawn request until posix_spawn has used them.
class SpawnRequest {
  public:
    SpawnRequest() {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attributes_);
    }
    ~SpawnRequest() {
        posix_spawnattr_destroy(&attributes_);
        posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnRequest(const SpawnRequest&) = delete;
    SpawnRequest& operator=(const SpawnRequest&) = delete;

    // The child starts with default signal handling and nothing blocked, and
    // holds the status pipe's write end across exec.
    int Prepare(int status_write_fd) {
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &all);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        // A dup2 onto itself clears close-on-exec for the child alone.
        return posix_spawn_file_actions_adddup2(&actions_, status_write_fd, status_write_fd);
    }

    int Spawn(pid_t& pid, const std::string& path, std::vector<std::string>& arguments,
              std::vector<std::string>& environment) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& variable : environment) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        return posix_spawn(&pid, path.c_str(), &actions_, &attributes_, argv.data(), envp.data());
    }

  private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

// The caller's environment, less the stand-in's own variables, plus the
// child's command line and status descriptor.
std::vector<std::string> ChildEnvironment(const std::wstring& command_line, int status_write_fd) {
    std::vector<std::string> environment;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        const std::string_view entry(*variable);
        if (!entry.starts_with(std::string(kCommandLineVariable) + "=") &&
            !entry.starts_with(std::string(kStatusFdVariable) + "=")) {
            environment.emplace_back(entry);
        }
    }
    environment.push_back(std::string(kCommandLineVariable) + "=" +
                          standin::detail::Narrow(command_line));
    environment.push_back(std::string(kStatusFdVariable) + "=" + std::to_string(status_write_fd));
    return environment;
}

// The status pipe's two descriptors until the process object takes the read
// end.
struct StatusPipe {
    int fds[2] = {-1, -1};

    StatusPipe() = default;
    StatusPipe(const StatusPipe&) = delete;
    StatusPipe& operator=(const StatusPipe&) = delete;
    ~StatusPipe() {
        Close(0);
        Close(1);
    }
    void Close(int end) {
        if (fds[end] >= 0) {
            close(fds[end]);
            fds[end] = -1;
        }
    }
};

DWORD SpawnError(int error_number, const std::string& path) {
    if (error_number == ENOENT) {
        return standin::detail::MissingFileError(path);
    }
    return standin::detail::ErrorFromErrno(error_number);
}

}  // namespace

BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                    SECURITY_ATTRIBUTES* /*process_attributes*/,
                    SECURITY_ATTRIBUTES* /*thread_attributes*/, BOOL /*inherit_handles*/,
                    DWORD /*creation_flags*/, LPVOID environment, LPCWSTR current_directory,
                    STARTUPINFOW* startup_info, PROCESS_INFORMATION* process_information) {
    if (CallFails(Operation::CreateProcessW)) {
        return FALSE;
    }
    // The stand-in runs a named program with the caller's environment and
    // folder; searching for the program, another environment block or
    // another folder it refuses rather than ignores.
    if (application_name == nullptr || environment != nullptr || current_directory != nullptr ||
        startup_info == nullptr || process_information == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::wstring text = command_line != nullptr ? command_line : application_name;
    if (text.size() >= kMaxCommandLine) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    std::string path;
    if (DWORD error = standin::detail::ConvertPath(application_name, path);
        error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }

    std::vector<std::string> arguments{path};
    if (!text.empty()) {
        const auto split = standin::detail::SplitWindowsCommandLine(text);
        for (std::size_t i = 1; i < split.size(); ++i) {
            arguments.push_back(standin::detail::Narrow(split[i]));
        }
    }

    StatusPipe status;
    if (pipe2(status.fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        SetLastError(standin::detail::ErrorFromErrno(errno));
        return FALSE;
    }
    std::vector<std::string> child_environment = ChildEnvironment(text, status.fds[1]);
    pid_t pid = -1;
    int spawn_error = 0;
    {
        SpawnRequest request;
        spawn_error = request.Prepare(status.fds[1]);
        if (spawn_error == 0) {
            spawn_error = request.Spawn(pid, path, arguments, child_environment);
        }
    }
    status.Close(1);  // only the child may hold the write end
    if (spawn_error != 0) {
        SetLastError(SpawnError(spawn_error, path));
        return FALSE;
    }

    auto process_object = std::make_shared<Object>(std::in_place_type<ProcessObject>);
    auto& process = std::get<ProcessObject>(*process_object);
    process.pid = pid;
    process.status_fd = std::exchange(status.fds[0], -1);
    auto thread_object = std::make_shared<Object>(std::in_place_type<ThreadObject>);
    auto& thread = std::get<ThreadObject>(*thread_object);
    thread.pid = pid;
    thread.process = std::shared_ptr<ProcessObject>(process_object, &process);

    process_information->hProcess = standin::detail::AddHandle(std::move(process_object));
    process_information->hThread = standin::detail::AddHandle(std::move(thread_object));
    process_information->dwProcessId = static_cast<DWORD>(pid);
    process_information->dwThreadId = static_cast<DWORD>(pid);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    if (CallFails(Operation::WaitForSingleObject)) {
        return WAIT_FAILED;
    }
    const std::shared_ptr<ProcessObject> process = ProcessFor(object, true);
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (milliseconds == INFINITE) {
        std::lock_guard lock(process->wait_mutex);
        Reap(*process, true);
        return WAIT_OBJECT_0;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        {
            // Another thread blocked in a wait holds the lock; look again later.
            std::unique_lock lock(process->wait_mutex, std::try_to_lock);
            if (lock.owns_lock() && Reap(*process, false)) {
                return WAIT_OBJECT_0;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return WAIT_TIMEOUT;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(kPollInterval, deadline - now));
    }
}

BOOL GetExitCodeProcess(HANDLE process_handle, LPDWORD exit_code) {
    if (CallFails(Operation::GetExitCodeProcess)) {
        return FALSE;
    }
    const std::shared_ptr<ProcessObject> process = ProcessFor(process_handle, false);
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (exit_code == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A thread blocked in a wait holds the lock while the child still runs.
    std::unique_lock lock(process->wait_mutex, std::try_to_lock);
    *exit_code = lock.owns_lock() && Reap(*process, false) ? process->exit_code : STILL_ACTIVE;
    return TRUE;
}

LPWSTR GetCommandLineW() {
    static std::wstring command_line = inherited_command_line != nullptr
                                           ? standin::detail::Widen(inherited_command_line)
                                           : CommandLineFromArguments();
    return command_line.data();
}

void ExitProcess(UINT exit_code) {
    std::fflush(nullptr);
    if (status_fd >= 0) {
        const unsigned char bytes[kStatusSize] = {static_cast<unsigned char>(exit_code),
                                                  static_cast<unsigned char>(exit_code >> 8),
                                                  static_cast<unsigned char>(exit_code >> 16),
                                                  static_cast<unsigned char>(exit_code >> 24)};
        ssize_t written = 0;
        do {
            written = write(status_fd, bytes, sizeof bytes);
        } while (written < 0 && errno == EINTR);
    }
    _exit(static_cast<int>(exit_code & 0xFF));
}
