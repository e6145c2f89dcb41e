#include "platform/temp_paths.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "platform/system_error.h"

namespace {

constexpr char kExecutablePathFailed[] = "Failed to get current executable path";
constexpr char kTempPathFailed[] = "Failed to get temporary path";

// Wide characters in the buffer for the executable's path: the longest
// Windows path (32767 characters) and its terminator.
constexpr DWORD kExecutablePathBufferSize = 0x8000;
// Wide characters first offered for the temporary directory.
constexpr DWORD kTempPathBufferSize = MAX_PATH;
// How often the temporary directory is asked for when it keeps growing
// between the calls that size and fill the buffer.
constexpr int kTempPathAttempts = 4;

constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

// Wide characters in the buffer for a system folder: Windows keeps its own
// folders within MAX_PATH.
constexpr UINT kSystemFolderBufferSize = MAX_PATH;

// Appends the low digits * 4 bits of value as lower-case hexadecimal, with
// leading zeros.
void AppendHex(std::wstring& text, std::uint32_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        text.push_back(kHexDigits[(value >> shift) & 0xF]);
    }
}

// A system folder as GetSystemDirectoryW or GetSystemWow64DirectoryW gives it,
// without a final backslash; nullopt when the call fails.
template <typename Query>
std::optional<std::wstring> SystemFolder(Query query) {
    std::wstring buffer(kSystemFolderBufferSize, L'\0');
    const UINT length = query(buffer.data(), kSystemFolderBufferSize);
    if (length == 0 || length >= kSystemFolderBufferSize) {
        return std::nullopt;
    }
    buffer.resize(length);
    if (buffer.back() == L'\\') {
        buffer.pop_back();  // the root of a drive, "C:\"
    }
    return buffer;
}

// Letters compared without regard to case, as the file system compares
// names. The system folder's path is ASCII on Windows; other characters
// compare exactly, which at worst leaves a path as it is.
bool SameLetterIgnoringCase(wchar_t a, wchar_t b) {
    const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c; };
    return upper(a) == upper(b);
}

// Whether path names folder itself or something inside it: folder is a
// prefix of path, compared without regard to case, and ends at a backslash
// of path ("...\System32x" is not inside "...\System32").
bool IsInsideFolder(const std::wstring& path, const std::wstring& folder) {
    return path.size() > folder.size() && path[folder.size()] == L'\\' &&
           std::equal(folder.begin(), folder.end(), path.begin(), SameLetterIgnoringCase);
}

// A 32-bit program on 64-bit Windows (WOW64) has its access to the system
// folder redirected to the SysWOW64 folder; a 64-bit program has not. A
// temporary directory inside the system folder (as for the SYSTEM account)
// thus holds the stub's files in SysWOW64, while the command line names them
// under System32, where a 64-bit installer does not find them. The same
// folder under SysWOW64 names them for both kinds of program. Whatever
// cannot be found out leaves the directory as Windows gave it.
std::wstring OutsideWow64Redirection(std::wstring directory) {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) {
        return directory;
    }
    const std::optional<std::wstring> system = SystemFolder(GetSystemDirectoryW);
    if (!system || !IsInsideFolder(directory, *system)) {
        return directory;
    }
    const std::optional<std::wstring> redirected = SystemFolder(GetSystemWow64DirectoryW);
    if (!redirected) {
        return directory;
    }
    return *redirected + directory.substr(system->size());
}

// The temporary directory as Windows reports it, ending in a backslash. A
// directory that does not fit the buffer is asked for again with a buffer of
// the size Windows says it needs; the contents of a buffer that was too small
// are never read.
std::wstring GetTempDirectory() {
    DWORD size = kTempPathBufferSize;
    for (int attempt = 0; attempt < kTempPathAttempts; ++attempt) {
        std::wstring buffer(size, L'\0');
        const DWORD length = GetTempPathW(size, buffer.data());
        if (length == 0) {
            ThrowSystemError(GetLastError(), kTempPathFailed);
        }
        if (length < size) {
            buffer.resize(length);
            return OutsideWow64Redirection(std::move(buffer));
        }
        // length is the size needed, terminator included. It is at least one
        // more than offered, so a directory that keeps growing between the
        // calls ends in the failure below, never in an endless loop.
        size = std::max(length, size + 1);
    }
    ThrowSystemError(ERROR_INSUFFICIENT_BUFFER, kTempPathFailed);
}

}  // namespace

std::wstring GetCurrentExecutablePath() {
    std::wstring buffer(kExecutablePathBufferSize, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kExecutablePathBufferSize);
    const DWORD error = GetLastError();
    if (length == 0) {
        ThrowSystemError(error, kExecutablePathFailed);
    }
    // A path that fills the whole buffer was cut short; opening it would
    // reach the wrong file, so it is refused.
    if (length >= kExecutablePathBufferSize) {
        ThrowSystemError(error != ERROR_SUCCESS ? error : ERROR_INSUFFICIENT_BUFFER,
                         kExecutablePathFailed);
    }
    return std::wstring(buffer.data(), length);
}

std::wstring GetFileNameFromPath(const std::wstring& path) {
    const std::size_t separator = path.rfind(L'\\');
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::wstring GuidToString(const GUID& guid) {
    std::wstring text;
    text.reserve(36);
    AppendHex(text, guid.Data1, 8);
    text.push_back(L'-');
    AppendHex(text, guid.Data2, 4);
    text.push_back(L'-');
    AppendHex(text, guid.Data3, 4);
    text.push_back(L'-');
    for (int i = 0; i < 8; ++i) {
        if (i == 2) {
            text.push_back(L'-');
        }
        AppendHex(text, guid.Data4[i], 2);
    }
    return text;
}

std::wstring MakeUniqueFileName(const std::wstring& name) {
    const std::size_t dot = name.rfind(L'.');
    const std::size_t stem_length = dot == std::wstring::npos ? name.size() : dot;

    // Uniqueness rests on the GUID alone. Without one, a fixed text could
    // name a file left by an earlier run, which the installer copy would
    // then only partly overwrite; so a failed GUID source is reported, with
    // its HRESULT as the code.
    GUID guid{};
    const HRESULT status = CoCreateGuid(&guid);
    if (status < 0) {
        ThrowSystemError(static_cast<std::uint32_t>(status), kTempPathFailed);
    }

    std::wstring unique = name.substr(0, stem_length);
    unique.push_back(L'_');
    unique += GuidToString(guid);
    unique.append(name, stem_length);
    return unique;
}

std::wstring MakeTempFilePath(const std::wstring& name) {
    std::wstring path = GetTempDirectory();
    path += MakeUniqueFileName(name);
    return path;
}
