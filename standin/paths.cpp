// Windows paths over the host's file system (drive Z: is the Unix root), the
// running program's path, the temporary directory, and the system folders
// and WOW64 state that the test controls choose.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cwchar>

#include "standin/state.h"

namespace standin::detail {
namespace {

constexpr wchar_t kRootDrive = L'Z';
constexpr std::wstring_view kLongPathPrefix = L"\\\\?\\";
// Characters that Windows refuses in a file name (the drive colon aside).
constexpr std::wstring_view kInvalidNameCharacters = L"<>:\"|?*";
// The system folders of a 64-bit Windows, as GetSystemDirectoryW and
// GetSystemWow64DirectoryW give them.
constexpr wchar_t kSystemDirectory[] = L"C:\\Windows\\System32";
constexpr wchar_t kSystemWow64Directory[] = L"C:\\Windows\\SysWOW64";

void AppendUtf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

std::wstring TempDirectory() {
    if (auto chosen = TempPathOverride()) {
        return *chosen;
    }
    const char* tmpdir = std::getenv("TMPDIR");
    std::string folder = (tmpdir != nullptr && tmpdir[0] == '/') ? tmpdir : "/tmp";
    std::wstring path = ToWindowsPath(folder);
    if (path.empty() || path.back() != L'\\') {
        path.push_back(L'\\');
    }
    return path;
}

// As GetSystemDirectoryW does: the terminated folder and its length; for a
// buffer that is too small, nothing written and the size needed, terminator
// included.
UINT CopyFolder(const std::wstring& folder, LPWSTR buffer, UINT size) {
    if (buffer == nullptr || folder.size() + 1 > size) {
        return static_cast<UINT>(folder.size() + 1);
    }
    std::wmemcpy(buffer, folder.data(), folder.size());
    buffer[folder.size()] = L'\0';
    return static_cast<UINT>(folder.size());
}

}  // namespace

std::wstring RunningProgram() {
    if (auto chosen = ModuleFileNameOverride()) {
        return *chosen;
    }
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return {};
    }
    std::string path(buffer, static_cast<std::size_t>(length));
    // The kernel marks a program file deleted while it runs; Windows still
    // gives the path it was started from.
    constexpr std::string_view kDeletedMark = " (deleted)";
    struct stat file {};
    if (path.ends_with(kDeletedMark) && stat(path.c_str(), &file) != 0) {
        path.resize(path.size() - kDeletedMark.size());
    }
    return ToWindowsPath(path);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        const auto code_point = static_cast<char32_t>(c);
        AppendUtf8(out, code_point > 0x10FFFF ? U'\uFFFD' : code_point);
    }
    return out;
}

std::wstring Widen(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        char32_t code_point = lead;
        if (lead >= 0xF0 && lead < 0xF8) {
            extra = 3;
            code_point = lead & 0x07;
        } else if (lead >= 0xE0) {
            extra = lead < 0xF0 ? 2 : 0;
            code_point = lead & 0x0F;
        } else if (lead >= 0xC0) {
            extra = 1;
            code_point = lead & 0x1F;
        }
        bool valid = lead < 0x80 || extra > 0;
        for (std::size_t k = 1; valid && k <= extra; ++k) {
            const auto next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
            valid = (next & 0xC0) == 0x80;
            code_point = (code_point << 6) | (next & 0x3F);
        }
        if (!valid) {
            out.push_back(L'\uFFFD');
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(code_point));
        i += extra + 1;
    }
    return out;
}

DWORD ConvertPath(const wchar_t* windows_path, std::string& posix_path) {
    if (windows_path == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring_view path(windows_path);
    if (path.starts_with(kLongPathPrefix)) {
        path.remove_prefix(kLongPathPrefix.size());
    }
    if (path.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::wstring_view rest = path;
    std::string converted;
    if (path.size() >= 2 && path[1] == L':') {
        if (std::towupper(static_cast<wint_t>(path[0])) != static_cast<wint_t>(kRootDrive)) {
            return ERROR_PATH_NOT_FOUND;  // no other drive exists here
        }
        rest.remove_prefix(2);
        converted = "/";
    } else if (path.starts_with(L"\\\\") || path.starts_with(L"//")) {
        return ERROR_BAD_NETPATH;
    }
    for (wchar_t c : rest) {
        if (kInvalidNameCharacters.find(c) != std::wstring_view::npos || (c > 0 && c < 32)) {
            return ERROR_INVALID_NAME;
        }
    }
    for (wchar_t c : rest) {
        if (c == L'\\' || c == L'/') {
            if (converted.empty() || converted.back() != '/') {
                converted.push_back('/');
            }
        } else {
            AppendUtf8(converted, static_cast<char32_t>(c));
        }
    }
    posix_path = std::move(converted);
    return ERROR_SUCCESS;
}

}  // namespace standin::detail

namespace standin {

std::wstring ToWindowsPath(const std::string& posix_path) {
    std::wstring path = detail::Widen(posix_path);
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    if (!path.empty() && path.front() == L'\\') {
        path.insert(0, L"Z:");
    }
    return path;
}

std::optional<std::string> ToPosixPath(const std::wstring& windows_path) {
    std::string posix_path;
    if (detail::ConvertPath(windows_path.c_str(), posix_path) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return posix_path;
}

}  // namespace standin

using standin::Operation;
using standin::detail::CallFails;

DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
    if (CallFails(Operation::GetModuleFileNameW)) {
        return 0;
    }
    if (module != nullptr || file_name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::wstring path = standin::detail::RunningProgram();
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As on Windows: a path that does not fit is truncated, terminated, and
    // the whole buffer size is returned with ERROR_INSUFFICIENT_BUFFER.
    if (path.size() >= size) {
        std::wmemcpy(file_name, path.data(), size - 1);
        file_name[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::wmemcpy(file_name, path.data(), path.size());
    file_name[path.size()] = L'\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

DWORD GetTempPathW(DWORD buffer_length, LPWSTR buffer) {
    if (CallFails(Operation::GetTempPathW)) {
        return 0;
    }
    const std::wstring path = standin::detail::TempDirectory();
    // As on Windows: a buffer that is too small receives nothing, and the
    // size needed, terminator included, is returned.
    if (buffer == nullptr || path.size() + 1 > buffer_length) {
        return static_cast<DWORD>(path.size() + 1);
    }
    std::wmemcpy(buffer, path.data(), path.size());
    buffer[path.size()] = L'\0';
    return static_cast<DWORD>(path.size());
}

UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    if (CallFails(Operation::GetSystemDirectoryW)) {
        return 0;
    }
    return standin::detail::CopyFolder(
        standin::detail::SystemDirectoryOverride().value_or(standin::detail::kSystemDirectory),
        buffer, size);
}

UINT GetSystemWow64DirectoryW(LPWSTR buffer, UINT size) {
    if (CallFails(Operation::GetSystemWow64DirectoryW)) {
        return 0;
    }
    return standin::detail::CopyFolder(standin::detail::SystemWow64DirectoryOverride().value_or(
                                           standin::detail::kSystemWow64Directory),
                                       buffer, size);
}

// As on Windows, the pseudo handle of the running process has the value -1.
HANDLE GetCurrentProcess() {
    return INVALID_HANDLE_VALUE;
}

BOOL IsWow64Process(HANDLE process, PBOOL wow64) {
    if (CallFails(Operation::IsWow64Process)) {
        return FALSE;
    }
    if (process != GetCurrentProcess() || wow64 == nullptr) {
        SetLastError(process != GetCurrentProcess() ? ERROR_INVALID_HANDLE
                                                    : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *wow64 = standin::detail::Wow64Process() ? TRUE : FALSE;
    return TRUE;
}
