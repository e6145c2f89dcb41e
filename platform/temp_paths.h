// The executable's own path and unique names in the temporary directory.
// Paths are wide strings; the only separator known here is the backslash.
#pragma once

#include <string>

#include "platform/windows_api.h"

// The full path of the running executable. Throws the system error "Failed
// to get current executable path".
std::wstring GetCurrentExecutablePath();

// The text after the path's last backslash: the whole path when it has none,
// the empty string when it ends in one. A forward slash is an ordinary
// character.
std::wstring GetFileNameFromPath(const std::wstring& path);

// The GUID as 36 lower-case hexadecimal digits and hyphens in the 8-4-4-4-12
// grouping, without braces. Data1, Data2 and Data3 are written as numbers.
std::wstring GuidToString(const GUID& guid);

// The name with "_" and the text of a fresh GUID inserted before its last dot
// (appended when it has none). Callers pass bare file names: a dot in a
// directory part would count. Throws the system error "Failed to get
// temporary path", carrying the failed HRESULT, when no GUID can be made.
std::wstring MakeUniqueFileName(const std::wstring& name);

// The temporary directory (as Windows gives it, ending in a backslash)
// followed by MakeUniqueFileName(name). Throws the system error "Failed to
// get temporary path"; no GUID is made when the directory is unknown.
// In a 32-bit process on 64-bit Windows (WOW64), a directory inside the
// system folder is named by the same folder under the SysWOW64 folder, where
// the files lie for 32-bit and 64-bit programs alike.
std::wstring MakeTempFilePath(const std::wstring& name);
