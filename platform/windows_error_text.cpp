#include "platform/windows_error_text.h"

#include <memory>

#include "platform/windows_api.h"

namespace {

// FormatMessageW's flags: a system text, in a buffer the system allocates,
// with any "%1" left as it stands.
constexpr DWORD kFormatFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;

struct LocalFreeDeleter {
    void operator()(wchar_t* text) const { LocalFree(text); }
};
using LocalText = std::unique_ptr<wchar_t, LocalFreeDeleter>;

std::wstring FallbackText(std::uint32_t code) {
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring digits;
    do {
        digits.insert(digits.begin(), kDigits[code & 0xF]);
        code >>= 4;
    } while (code != 0);
    return L"Windows error 0x" + digits;
}

}  // namespace

std::wstring GetWindowsErrorText(std::uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(kFormatFlags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    LocalText owned(buffer);
    if (length == 0 || buffer == nullptr) {
        return FallbackText(code);
    }
    return std::wstring(buffer, length);
}
