#include "platform/process.h"

#include <cwchar>
#include <memory>

#include "platform/system_error.h"
#include "platform/system_handle.h"
#include "platform/windows_api.h"

namespace {

// The command line buffer: 32768 wide characters (0x10000 bytes).
constexpr std::size_t kCommandLineBufferSize = 32768;
// Every command line that CreateProcessW takes fits, terminator included.
static_assert(CProcess::kMaxCommandLine <= kCommandLineBufferSize);

// Appends text to the terminated text in buffer when the result, with its
// terminator, stays within limit characters; otherwise leaves the buffer as
// it was and returns false. Never truncates.
bool AppendBounded(wchar_t* buffer, std::size_t limit, const std::wstring& text) {
    const std::size_t length = std::wcslen(buffer);
    if (text.size() >= limit - length) {
        return false;
    }
    std::wmemcpy(buffer + length, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

CProcess::CProcess(std::wstring path) : path(std::move(path)) {}

CProcess::~CProcess() {
    // Deletion may fail while antivirus software or a still running
    // installer holds the file; that is acceptable and not reported.
    DeleteFileW(path.c_str());
}

std::uint32_t CProcess::Run(const std::wstring& arguments) {
    STARTUPINFOW startup_info{};
    startup_info.cb = sizeof startup_info;
    PROCESS_INFORMATION process_information{};

    // The quoted path and its separator, which ends the line when the
    // arguments are empty; the arguments go in unchanged. A line that does
    // not fit would be cut short or refused by Windows, so it is refused here
    // before anything starts.
    const auto command_line = std::make_unique<wchar_t[]>(kCommandLineBufferSize);
    command_line[0] = L'"';
    command_line[1] = L'\0';
    if (!AppendBounded(command_line.get(), kMaxCommandLine, path) ||
        !AppendBounded(command_line.get(), kMaxCommandLine, L"\" ") ||
        !AppendBounded(command_line.get(), kMaxCommandLine, arguments)) {
        ThrowSystemError(ERROR_FILENAME_EXCED_RANGE, "Failed to start installer");
    }

    if (!CreateProcessW(path.c_str(), command_line.get(), nullptr, nullptr, FALSE,
                        CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup_info,
                        &process_information)) {
        ThrowSystemError(GetLastError(), "Failed to start installer");
    }
    // Declared in this order, the thread handle closes first, then the
    // process handle, on every way out.
    const SystemHandle process(process_information.hProcess);
    const SystemHandle thread(process_information.hThread);

    if (WaitForSingleObject(process.handle, INFINITE) == WAIT_FAILED) {
        ThrowSystemError(GetLastError(), "Failed to wait for installer to finish");
    }
    DWORD exit_code = 0;
    const BOOL got_exit_code = GetExitCodeProcess(process.handle, &exit_code);
    const DWORD error = GetLastError();
    if (!got_exit_code) {
        ThrowSystemError(error, "Failed to get installer process result");
    }
    return exit_code;
}
