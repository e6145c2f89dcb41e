#include "platform/temp_paths.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/system_error.h"
#include "platform/windows_api.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

constexpr std::size_t kGuidTextLength = 36;

// Eight, four, four, four and twelve lower-case hexadecimal digits joined by
// hyphens, and nothing else.
bool IsGuidText(const std::wstring& text) {
    if (text.size() != kGuidTextLength) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        const bool hyphen_place = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
        if (hyphen_place ? c != L'-' : !hex) {
            return false;
        }
    }
    return true;
}

// Checks that actual is before, a GUID text, then after; returns the GUID text.
std::wstring ExpectUniqueName(const std::wstring& actual, const std::wstring& before,
                              const std::wstring& after, const char* why) {
    if (actual.size() != before.size() + kGuidTextLength + after.size() ||
        !actual.starts_with(before) || !actual.ends_with(after)) {
        ADD_FAILURE() << why << ": unexpected shape";
        return {};
    }
    const std::wstring guid = actual.substr(before.size(), kGuidTextLength);
    EXPECT_TRUE(IsGuidText(guid)) << why;
    return guid;
}

#ifndef _WIN32
// The system error that action raised, checked against the code and the
// fixed message it must carry.
void ExpectSystemError(const std::function<void()>& action, std::uint32_t code,
                       const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no error raised; expected " << message;
    } catch (const WindowsSystemError& error) {
        EXPECT_EQ(static_cast<std::uint32_t>(error.code().value()), code) << message;
        EXPECT_TRUE(std::string(error.what()).starts_with(message + "\r\n")) << error.what();
    }
}
#endif

struct NameCase {
    const char* what_it_proves;
    std::wstring name;
    std::wstring before;  // the unique name up to the GUID text
    std::wstring after;   // the unique name after it
};

// The worked examples: the names the launcher passes, and a few more.
const NameCase kWorkedExamples[] = {
    {"parameters file", L"InstallerParams.json", L"InstallerParams_", L".json"},
    {"installer copy", L"setup.exe", L"setup_", L".exe"},
    {"picture file", L"picture.bmp", L"picture_", L".bmp"},
    {"icon file", L"ico.ico", L"ico_", L".ico"},
    {"only the last dot separates the extension", L"archive.tar.gz", L"archive.tar_", L".gz"},
    {"a name without a dot gets nothing after the GUID", L"README", L"README_", L""},
};

TEST(GuidToString, WritesTheFieldsAsZeroFilledLowerCaseNumbers) {
    struct Case {
        const char* what_it_proves;
        GUID guid;
        const wchar_t* expected;
    };
    const Case kCases[] = {
        {"all zero", {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}, L"00000000-0000-0000-0000-000000000000"},
        {"every digit in its place",
         {0x12345678, 0x9abc, 0xdef0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}},
         L"12345678-9abc-def0-0123-456789abcdef"},
        {"Data1 to Data3 are numbers, not bytes in memory order; small values get leading zeros",
         {0x1, 0x2, 0x3, {0x0, 0x1, 0x2, 0x3, 0x4, 0x5, 0x6, 0xa}},
         L"00000001-0002-0003-0001-02030405060a"},
        {"all bits set",
         {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
         L"ffffffff-ffff-ffff-ffff-ffffffffffff"},
    };
    for (const Case& test : kCases) {
        EXPECT_EQ(GuidToString(test.guid), test.expected) << test.what_it_proves;
    }
}

TEST(GetFileNameFromPath, IsTheTextAfterTheLastBackslash) {
    struct Case {
        const char* what_it_proves;
        std::wstring path;
        std::wstring expected;
    };
    const Case kCases[] = {
        {"a full path", L"C:\\Users\\user\\Downloads\\setup.exe", L"setup.exe"},
        {"a path without a backslash is its own name", L"setup.exe", L"setup.exe"},
        {"a path ending in a backslash has an empty name", L"C:\\Users\\", L""},
        {"a forward slash is an ordinary character", L"C:/dir/setup.exe", L"C:/dir/setup.exe"},
        {"mixed separators: only the backslash counts", L"C:\\a/b\\c/d.exe", L"c/d.exe"},
        {"a network path", L"\\\\server\\share\\x.exe", L"x.exe"},
        {"the empty path", L"", L""},
    };
    for (const Case& test : kCases) {
        EXPECT_EQ(GetFileNameFromPath(test.path), test.expected) << test.what_it_proves;
    }
}

TEST(MakeUniqueFileName, PutsTheGuidTextBeforeTheLastDot) {
    std::vector<NameCase> cases(std::begin(kWorkedExamples), std::end(kWorkedExamples));
    cases.insert(cases.end(),
                 {
                     {"a trailing dot stays as the extension", L"name.", L"name_", L"."},
                     {"a leading only dot leaves an empty stem", L".config", L"_", L".config"},
                     {"a name that is only a dot", L".", L"_", L"."},
                     {"the empty name", L"", L"_", L""},
                     {"a dot in a directory part counts (callers pass bare names)", L"dir.d\\file",
                      L"dir_", L".d\\file"},
                     {"non-ASCII names stay wide", L"\u65e5\u672c\u00e9.exe",
                      L"\u65e5\u672c\u00e9_", L".exe"},
                 });
    for (const NameCase& test : cases) {
        ExpectUniqueName(MakeUniqueFileName(test.name), test.before, test.after,
                         test.what_it_proves);
    }
}

// The temporary directory that MakeTempFilePath must use: the worked
// examples' directory on the stand-in, the real one under Windows.
class TempFilePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef _WIN32
        temp_ = L"C:\\Users\\user\\AppData\\Local\\Temp\\";
        standin::SetTempPath(temp_);
#else
        wchar_t buffer[MAX_PATH];
        const DWORD length = GetTempPathW(MAX_PATH, buffer);
        ASSERT_GT(length, 0u);
        ASSERT_LT(length, MAX_PATH);
        temp_.assign(buffer, length);
#endif
        ASSERT_EQ(temp_.back(), L'\\');
    }

#ifndef _WIN32
    standin::ScopedControls controls_;
#endif
    std::wstring temp_;
};

TEST_F(TempFilePathTest, IsTheTemporaryDirectoryThenTheUniqueName) {
    for (const NameCase& test : kWorkedExamples) {
        ExpectUniqueName(MakeTempFilePath(test.name), temp_ + test.before, test.after,
                         test.what_it_proves);
    }
}

TEST_F(TempFilePathTest, TwoCallsWithTheSameNameGiveTwoPaths) {
    const std::wstring first = MakeTempFilePath(L"setup.exe");
    const std::wstring second = MakeTempFilePath(L"setup.exe");
    EXPECT_NE(first, second);
    ExpectUniqueName(first, temp_ + L"setup_", L".exe", "first");
    ExpectUniqueName(second, temp_ + L"setup_", L".exe", "second");
}

TEST_F(TempFilePathTest, NamesAFileThatCanBeCreatedInAnExistingDirectory) {
#ifndef _WIN32
    // The worked examples' directory does not exist here; use a real one.
    test_support::ScopedTempDir dir;
    temp_ = dir.WindowsFolder();
    standin::SetTempPath(temp_);
#endif
    EXPECT_TRUE(std::filesystem::is_directory(test_support::FromWindowsPath(temp_)));
    const std::wstring path = MakeTempFilePath(L"probe.txt");
    const auto host_path = test_support::FromWindowsPath(path);
    EXPECT_FALSE(std::filesystem::exists(host_path));
    test_support::WriteBytes(host_path, {1, 2, 3});
    EXPECT_EQ(test_support::ReadBytes(host_path).size(), 3u);
    std::filesystem::remove(host_path);
}

TEST(GetCurrentExecutablePath, IsTheFullPathOfTheRunningTestProgram) {
    const std::wstring path = GetCurrentExecutablePath();
    const std::wstring name = GetFileNameFromPath(path);
#ifdef _WIN32
    EXPECT_EQ(name, L"platform_tests.exe");
#else
    EXPECT_EQ(name, L"platform_tests");
#endif
    ASSERT_GE(path.size(), 3u);
    EXPECT_EQ(path.substr(1, 2), L":\\") << "a full path with a drive";
    EXPECT_TRUE(std::filesystem::is_regular_file(test_support::FromWindowsPath(path)));
}

#ifndef _WIN32
TEST(GetCurrentExecutablePath, GivesWhatWindowsReportsUpToTheLongestPath) {
    standin::ScopedControls controls;
    struct Case {
        const char* what_it_proves;
        std::wstring path;
    };
    const Case kCases[] = {
        {"an ordinary path", L"C:\\Users\\user\\Downloads\\setup.exe"},
        {"non-ASCII characters", L"C:\\Users\\\u00e9l\u00e8ve\\\u65e5\u672c.exe"},
        {"the longest Windows path", L"C:\\" + std::wstring(32767 - 7, L'a') + L".exe"},
    };
    for (const Case& test : kCases) {
        standin::SetModuleFileName(test.path);
        EXPECT_EQ(GetCurrentExecutablePath(), test.path) << test.what_it_proves;
    }
}

TEST(GetCurrentExecutablePath, RefusesAPathCutShortByTheBuffer) {
    standin::ScopedControls controls;
    standin::SetModuleFileName(L"C:\\" + std::wstring(32800, L'a') + L".exe");
    ExpectSystemError([] { GetCurrentExecutablePath(); }, ERROR_INSUFFICIENT_BUFFER,
                      "Failed to get current executable path");
}

TEST(GetCurrentExecutablePath, ReportsAFailureWithItsCode) {
    standin::ScopedControls controls;
    standin::FailNthCall(standin::Operation::GetModuleFileNameW, 1, ERROR_ACCESS_DENIED);
    ExpectSystemError([] { GetCurrentExecutablePath(); }, ERROR_ACCESS_DENIED,
                      "Failed to get current executable path");
}

TEST(MakeTempFilePath, HandlesTemporaryDirectoriesOfAnyLength) {
    standin::ScopedControls controls;
    struct Case {
        const char* what_it_proves;
        std::size_t length;  // of the directory, its final backslash included
        unsigned expected_calls;
    };
    const Case kCases[] = {
        {"a short directory", 12, 1},
        {"the longest that fits 260 characters with the terminator", 259, 1},
        {"one character more is asked for again", 260, 2},
        {"a long directory", 700, 2},
        {"the longest Windows path", 32766, 2},
    };
    for (const Case& test : kCases) {
        const std::wstring directory = L"Z:\\" + std::wstring(test.length - 4, L'd') + L"\\";
        ASSERT_EQ(directory.size(), test.length);
        standin::SetTempPath(directory);
        const unsigned before = standin::CallCount(standin::Operation::GetTempPathW);
        ExpectUniqueName(MakeTempFilePath(L"setup.exe"), directory + L"setup_", L".exe",
                         test.what_it_proves);
        EXPECT_EQ(standin::CallCount(standin::Operation::GetTempPathW) - before,
                  test.expected_calls)
            << test.what_it_proves;
    }
}

TEST(MakeTempFilePath, ReportsAFailureWithItsCodeAndMakesNoGuid) {
    standin::ScopedControls controls;
    struct Case {
        const char* what_it_proves;
        std::size_t directory_length;
        unsigned failing_call;
        DWORD code;
    };
    const Case kCases[] = {
        {"the first call fails", 20, 1, ERROR_ACCESS_DENIED},
        {"the call with the larger buffer fails", 400, 2, ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const Case& test : kCases) {
        standin::SetTempPath(L"Z:\\" + std::wstring(test.directory_length - 4, L'd') + L"\\");
        standin::FailNthCall(standin::Operation::GetTempPathW, test.failing_call, test.code);
        const unsigned guids_before = standin::CallCount(standin::Operation::CoCreateGuid);
        ExpectSystemError([] { MakeTempFilePath(L"setup.exe"); }, test.code,
                          "Failed to get temporary path");
        EXPECT_EQ(standin::CallCount(standin::Operation::CoCreateGuid), guids_before)
            << test.what_it_proves;
    }
}

TEST(MakeTempFilePath, NamesASystemFolderTempUnderSysWow64ForA32BitProcessOn64BitWindows) {
    standin::ScopedControls controls;
    using standin::Operation;
    const std::wstring kSystem = L"C:\\Windows\\System32";
    const std::wstring kSysWow64 = L"C:\\Windows\\SysWOW64";
    const std::wstring kSystemProfileTemp = L"\\config\\systemprofile\\AppData\\Local\\Temp\\";
    struct Case {
        const char* what_it_proves;
        bool wow64;
        std::optional<Operation> failing;
        std::wstring temp;
        std::wstring expected;
    };
    const Case kCases[] = {
        {"the SYSTEM account's folder moves to SysWOW64", true, std::nullopt,
         kSystem + kSystemProfileTemp, kSysWow64 + kSystemProfileTemp},
        {"the system folder itself", true, std::nullopt, kSystem + L"\\", kSysWow64 + L"\\"},
        {"the prefix is compared without regard to case", true, std::nullopt,
         L"c:\\WINDOWS\\sYsTeM32\\Temp\\", kSysWow64 + L"\\Temp\\"},
        {"a sibling folder whose name only begins like it stays", true, std::nullopt,
         kSystem + L"x\\Temp\\", kSystem + L"x\\Temp\\"},
        {"a user's folder stays", true, std::nullopt, L"C:\\Users\\user\\AppData\\Local\\Temp\\",
         L"C:\\Users\\user\\AppData\\Local\\Temp\\"},
        {"no WOW64 (a 64-bit program, or 32-bit Windows): no redirection to undo", false,
         std::nullopt, kSystem + kSystemProfileTemp, kSystem + kSystemProfileTemp},
        {"IsWow64Process failing leaves the folder", true, Operation::IsWow64Process,
         kSystem + kSystemProfileTemp, kSystem + kSystemProfileTemp},
        {"GetSystemDirectoryW failing leaves the folder", true, Operation::GetSystemDirectoryW,
         kSystem + kSystemProfileTemp, kSystem + kSystemProfileTemp},
        {"GetSystemWow64DirectoryW failing leaves the folder", true,
         Operation::GetSystemWow64DirectoryW, kSystem + kSystemProfileTemp,
         kSystem + kSystemProfileTemp},
    };
    standin::SetSystemDirectories(kSystem, kSysWow64);
    for (const Case& test : kCases) {
        standin::SetWow64Process(test.wow64);
        standin::SetTempPath(test.temp);
        if (test.failing) {
            standin::FailNthCall(*test.failing, 1, ERROR_ACCESS_DENIED);
        }
        ExpectUniqueName(MakeTempFilePath(L"setup.exe"), test.expected + L"setup_", L".exe",
                         test.what_it_proves);
    }
}

TEST(MakeTempFilePath, ReportsAFailedGuidSourceInsteadOfReusingAName) {
    standin::ScopedControls controls;
    standin::SetTempPath(L"Z:\\tmp\\");
    standin::FailNthCall(standin::Operation::CoCreateGuid, 1, ERROR_GEN_FAILURE);
    ExpectSystemError([] { MakeTempFilePath(L"setup.exe"); }, static_cast<std::uint32_t>(E_FAIL),
                      "Failed to get temporary path");
    standin::FailNthCall(standin::Operation::CoCreateGuid, 1, ERROR_GEN_FAILURE);
    ExpectSystemError([] { MakeUniqueFileName(L"setup.exe"); }, static_cast<std::uint32_t>(E_FAIL),
                      "Failed to get temporary path");
}
#endif

}  // namespace
