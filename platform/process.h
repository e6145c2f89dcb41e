// The installer process: runs the installer copy once, waits for it and
// deletes the copy when the owner goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Owns the executable file at path: the destructor deletes it, whether Run
// was called, succeeded or failed. Never copied.
class CProcess {
  public:
    // The longest command line CreateProcessW takes, its terminator included.
    static constexpr std::size_t kMaxCommandLine = 32767;

    explicit CProcess(std::wstring path);
    virtual ~CProcess();

    CProcess(const CProcess&) = delete;
    CProcess& operator=(const CProcess&) = delete;

    // Starts the file at path with the command line: path in double quotes,
    // a space, then arguments unchanged. Waits without a time limit and
    // returns the installer's exit code unchanged. A command line longer than
    // kMaxCommandLine is refused before anything starts (code 206). Failures
    // are system errors carrying the failing call's Windows error code.
    std::uint32_t Run(const std::wstring& arguments);

    const std::wstring path;
};
