// A stand-in installer for the tests that run installers (CProcess, the stub
// end to end). Interface:
// - It writes the command line it received (GetCommandLineW) to the file
//   "<its own path>.cmdline", replacing any earlier one, as UTF-16LE code
//   units without a byte order mark or terminator. The record outlives the
//   program file, which its starter deletes.
// - It exits (ExitProcess, so all 32 bits arrive) with the number after the
//   last "exit=" in its command line, read as a C integer literal (decimal,
//   hexadecimal after "0x"); 0 when there is none.
// Natively it is built on the stand-in layer, so it runs as CProcess starts
// it there; under Windows or Wine it is a console program.
#include <cstdint>
#include <cwchar>
#include <string>

#include "platform/windows_api.h"

namespace {

constexpr wchar_t kExitMarker[] = L"exit=";
constexpr wchar_t kRecordSuffix[] = L".cmdline";
constexpr DWORD kPathCapacity = 32768;

std::string Utf16Bytes(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) {
        auto unit = static_cast<std::uint32_t>(c);
        if (unit > 0xFFFF) {  // a wide character beyond UTF-16: a surrogate pair
            unit -= 0x10000;
            const std::uint32_t high = 0xD800 + (unit >> 10);
            bytes += {static_cast<char>(high & 0xFF), static_cast<char>(high >> 8)};
            unit = 0xDC00 + (unit & 0x3FF);
        }
        bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    }
    return bytes;
}

void RecordCommandLine(const std::wstring& command_line) {
    std::wstring own_path(kPathCapacity, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, own_path.data(), kPathCapacity);
    if (length == 0 || length >= kPathCapacity) {
        return;
    }
    own_path.resize(length);
    const std::wstring record = own_path + kRecordSuffix;
    HANDLE file = CreateFileW(record.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string bytes = Utf16Bytes(command_line);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

UINT RequestedExitCode(const std::wstring& command_line) {
    const std::size_t marker = command_line.rfind(kExitMarker);
    if (marker == std::wstring::npos) {
        return 0;
    }
    return static_cast<UINT>(
        std::wcstoul(command_line.c_str() + marker + std::wcslen(kExitMarker), nullptr, 0));
}

}  // namespace

int main() {
    const std::wstring command_line = GetCommandLineW();
    RecordCommandLine(command_line);
    ExitProcess(RequestedExitCode(command_line));
}
