#include "platform/system_error.h"

namespace {

std::error_code WindowsErrorCode(std::uint32_t code) {
    // The 32-bit Windows code is kept bit for bit as the int value.
    return {static_cast<int>(code), std::system_category()};
}

}  // namespace

WindowsSystemError::WindowsSystemError(std::uint32_t code, const std::string& message)
    : std::system_error(WindowsErrorCode(code)),
      text_(message + "\r\n" + std::system_category().message(static_cast<int>(code))) {}

const char* WindowsSystemError::what() const noexcept {
    return text_.what();
}

void ThrowSystemError(std::uint32_t code, const std::string& message) {
    throw WindowsSystemError(code, message);
}
