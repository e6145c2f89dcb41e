// A stand-in installer for the tests that run installers (CProcess, the stub
// end to end). Interface:
// - It writes the command line it received (GetCommandLineW) to the file
//   "<its own path>.cmdline", replacing any earlier one, as UTF-16LE code
//   units without a byte order mark or terminator. The record outlives the
//   program file, which its starter deletes.
// - When its command line holds "copy-handed-files", it copies each file
//   that the stub's hand-over arguments name (/pi="FILE", /pic="FILE",
//   /ico="FILE") to "<its own path>.pi", ".pic" and ".ico": proof that the
//   file existed, for this program, at the path it was handed. A file it
//   cannot open leaves no copy.
// - It exits (ExitProcess, so all 32 bits arrive) with the number after the
//   last "exit=" in its command line, read as a C integer literal (decimal,
//   hexadecimal after "0x"); 0 when there is none.
// Natively it is built on the stand-in layer, so it runs as CProcess starts
// it there; under Windows or Wine it is a console program.
#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>

#include "platform/windows_api.h"

namespace {

constexpr wchar_t kExitMarker[] = L"exit=";
constexpr wchar_t kRecordSuffix[] = L".cmdline";
constexpr wchar_t kCopyMarker[] = L"copy-handed-files";
constexpr DWORD kPathCapacity = 32768;

// The hand-over arguments and the suffix of each one's copy.
struct HandedKind {
    const wchar_t* argument;
    const wchar_t* suffix;
};
constexpr HandedKind kHandedKinds[] = {
    {L"/pi=\"", L".pi"}, {L"/pic=\"", L".pic"}, {L"/ico=\"", L".ico"}};

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

std::wstring OwnPath() {
    std::wstring own_path(kPathCapacity, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, own_path.data(), kPathCapacity);
    if (length == 0 || length >= kPathCapacity) {
        return {};
    }
    own_path.resize(length);
    return own_path;
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    BOOL ok = FALSE;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr)) && read > 0) {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    if (!ok) {
        return std::nullopt;
    }
    return bytes;
}

void CopyHandedFiles(const std::wstring& command_line, const std::wstring& own_path) {
    for (const HandedKind& kind : kHandedKinds) {
        const std::size_t argument = command_line.find(kind.argument);
        if (argument == std::wstring::npos) {
            continue;
        }
        const std::size_t start = argument + std::wcslen(kind.argument);
        const std::size_t end = command_line.find(L'"', start);
        if (end == std::wstring::npos) {
            continue;
        }
        if (const auto bytes = ReadWholeFile(command_line.substr(start, end - start))) {
            WriteWholeFile(own_path + kind.suffix, *bytes);
        }
    }
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
    const std::wstring own_path = OwnPath();
    if (!own_path.empty()) {
        WriteWholeFile(own_path + kRecordSuffix, Utf16Bytes(command_line));
        if (command_line.find(kCopyMarker) != std::wstring::npos) {
            CopyHandedFiles(command_line, own_path);
        }
    }
    ExitProcess(RequestedExitCode(command_line));
}
