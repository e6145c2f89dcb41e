// Windows paths over the host's file system, and the path operations.
#include <gtest/gtest.h>

#include <cwchar>
#include <set>

#include "standin/standin_controls.h"

namespace {

TEST(StandinPaths, ConvertsBetweenWindowsAndHostPaths) {
    struct Case {
        std::string posix;
        std::wstring windows;
    };
    const Case kCases[] = {
        {"/tmp/a b/x.exe", L"Z:\\tmp\\a b\\x.exe"},
        {"/", L"Z:\\"},
        {"/tmp/\xc3\xa9t\xc3\xa9/\xe6\x97\xa5.exe", L"Z:\\tmp\\\u00e9t\u00e9\\\u65e5.exe"},
    };
    for (const Case& test : kCases) {
        EXPECT_EQ(standin::ToWindowsPath(test.posix), test.windows);
        EXPECT_EQ(standin::ToPosixPath(test.windows), test.posix);
    }
    EXPECT_EQ(standin::ToPosixPath(L"z:/tmp//x"), "/tmp/x") << "drive letter in either case";
    EXPECT_EQ(standin::ToPosixPath(L"\\\\?\\Z:\\tmp"), "/tmp") << "the long-path prefix";
    EXPECT_FALSE(standin::ToPosixPath(L"C:\\Windows")) << "no drive but Z:";
    EXPECT_FALSE(standin::ToPosixPath(L"")) << "an empty path";
}

TEST(StandinPaths, TempPathEndsInBackslashAndReportsTheSizeItNeeds) {
    standin::ScopedControls controls;
    const std::wstring chosen = L"Z:\\" + std::wstring(300, L't') + L"\\";
    standin::SetTempPath(chosen);
    wchar_t small[MAX_PATH];
    small[0] = L'#';
    EXPECT_EQ(GetTempPathW(MAX_PATH, small), chosen.size() + 1);
    EXPECT_EQ(small[0], L'#') << "a buffer that is too small receives nothing";
    std::wstring large(chosen.size() + 1, L'\0');
    EXPECT_EQ(GetTempPathW(static_cast<DWORD>(large.size()), large.data()), chosen.size());
    EXPECT_EQ(std::wstring(large.c_str()), chosen);

    standin::SetTempPath(std::nullopt);
    wchar_t real[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, real);
    ASSERT_GT(length, 3u);
    EXPECT_EQ(real[length - 1], L'\\');
    EXPECT_EQ(std::wstring(real, 3), L"Z:\\");
}

TEST(StandinPaths, ModuleFileNameIsTheRunningProgramOrTheChosenPath) {
    standin::ScopedControls controls;
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_NE(std::wstring(path).find(L"standin_tests"), std::wstring::npos);
    standin::SetModuleFileName(L"Z:\\pkg\\setup.exe");
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, MAX_PATH), 16u);
    EXPECT_STREQ(path, L"Z:\\pkg\\setup.exe");
    wchar_t tiny[4];
    EXPECT_EQ(GetModuleFileNameW(nullptr, tiny, 4), 4u) << "truncated to the buffer";
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_STREQ(tiny, L"Z:\\");
}

TEST(StandinGuid, MakesDistinctVersionFourGuids) {
    std::set<std::wstring> seen;
    for (int i = 0; i < 100; ++i) {
        GUID guid{};
        ASSERT_EQ(CoCreateGuid(&guid), S_OK);
        EXPECT_EQ(guid.Data3 >> 12, 4);
        EXPECT_EQ(guid.Data4[0] >> 6, 2);
        seen.insert(
            std::wstring(reinterpret_cast<const wchar_t*>(&guid), sizeof guid / sizeof(wchar_t)));
    }
    EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
