// Failed Windows calls become std::system_error exceptions that carry the
// call's Windows error code in the system category and a fixed message.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

// The thrown type: a std::system_error whose what() is the fixed message,
// CR LF, then the category's text for the code.
class WindowsSystemError : public std::system_error {
  public:
    WindowsSystemError(std::uint32_t code, const std::string& message);
    const char* what() const noexcept override;

  private:
    std::runtime_error text_;  // reference-counted: copies cannot fail
};

// code is the value GetLastError gave right after the failed call; it is
// stored unchanged as the error code's value.
[[noreturn]] void ThrowSystemError(std::uint32_t code, const std::string& message);
