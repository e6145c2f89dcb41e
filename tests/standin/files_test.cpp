// The stand-in's file operations give what Windows gives.
#include <gtest/gtest.h>

#include <string>

#include "standin/standin_controls.h"
#include "standin/windows_standin.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::ScopedTempDir;

struct Opened {
    HANDLE handle;
    DWORD error;
};

Opened Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, disposition, 0, nullptr);
    return {handle, GetLastError()};
}

TEST(StandinCreateFile, GivesTheWindowsErrorCodes) {
    ScopedTempDir dir;
    test_support::WriteBytes(dir.File("exists.bin"), {1, 2, 3});
    struct Case {
        const char* what_it_proves;
        std::wstring path;
        DWORD access;
        DWORD disposition;
        DWORD error;
    };
    const Case kCases[] = {
        {"a missing file in an existing folder", dir.WindowsFile("missing.bin"), GENERIC_READ,
         OPEN_EXISTING, 2},
        {"a file in a missing folder", dir.WindowsFile("nowhere\\x.bin"), GENERIC_READ,
         OPEN_EXISTING, 3},
        {"creating in a missing folder", dir.WindowsFile("nowhere\\x.bin"), GENERIC_WRITE,
         OPEN_ALWAYS, 3},
        {"a folder is no file", dir.WindowsFolder(), GENERIC_READ, OPEN_EXISTING, 5},
        {"another drive does not exist here", L"C:\\Windows\\notepad.exe", GENERIC_READ,
         OPEN_EXISTING, 3},
        {"CREATE_NEW on an existing file", dir.WindowsFile("exists.bin"), GENERIC_WRITE, CREATE_NEW,
         80},
        {"an unknown disposition", dir.WindowsFile("exists.bin"), GENERIC_READ, 99, 87},
        {"a name with a character Windows refuses", dir.WindowsFile("a?b"), GENERIC_WRITE,
         OPEN_ALWAYS, 123},
        {"a component longer than the file system allows", dir.WindowsFile(std::string(300, 'n')),
         GENERIC_WRITE, OPEN_ALWAYS, 206},
    };
    for (const Case& test : kCases) {
        const Opened opened = Open(test.path, test.access, FILE_SHARE_READ, test.disposition);
        EXPECT_EQ(opened.handle, INVALID_HANDLE_VALUE) << test.what_it_proves;
        EXPECT_EQ(opened.error, test.error) << test.what_it_proves;
    }
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"exists.bin"});
}

TEST(StandinCreateFile, DispositionsCreateTruncateOrKeepAsOnWindows) {
    ScopedTempDir dir;
    const std::wstring path = dir.WindowsFile("f.bin");
    Opened created = Open(path, GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(created.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(created.error, 0u);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(created.handle, "abcdef", 6, &written, nullptr));
    CloseHandle(created.handle);

    Opened reopened = Open(path, GENERIC_WRITE, 0, OPEN_ALWAYS);
    EXPECT_EQ(reopened.error, 183u) << "OPEN_ALWAYS on an existing file says so";
    CloseHandle(reopened.handle);
    EXPECT_EQ(test_support::ReadBytes(dir.File("f.bin")).size(), 6u) << "OPEN_ALWAYS keeps data";

    Opened truncated = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_EQ(truncated.error, 183u);
    CloseHandle(truncated.handle);
    EXPECT_TRUE(test_support::ReadBytes(dir.File("f.bin")).empty());
}

TEST(StandinCreateFile, EnforcesShareModesBetweenHandles) {
    ScopedTempDir dir;
    const std::wstring path = dir.WindowsFile("shared.bin");
    test_support::WriteBytes(dir.File("shared.bin"), {1});
    struct Case {
        const char* what_it_proves;
        DWORD first_access, first_share, second_access, second_share;
        bool second_opens;
    };
    const Case kCases[] = {
        {"readers that share reading", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ,
         true},
        {"a writer while a reader does not share writing", GENERIC_READ, FILE_SHARE_READ,
         GENERIC_WRITE, FILE_SHARE_READ, false},
        {"a reader that does not share the writer's writing", GENERIC_WRITE,
         FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ, FILE_SHARE_READ, false},
        {"attributes alone are never refused", GENERIC_WRITE, 0, FILE_READ_ATTRIBUTES, 0, true},
    };
    for (const Case& test : kCases) {
        Opened first = Open(path, test.first_access, test.first_share, OPEN_EXISTING);
        ASSERT_NE(first.handle, INVALID_HANDLE_VALUE);
        Opened second = Open(path, test.second_access, test.second_share, OPEN_EXISTING);
        EXPECT_EQ(second.handle != INVALID_HANDLE_VALUE, test.second_opens) << test.what_it_proves;
        if (!test.second_opens) {
            EXPECT_EQ(second.error, 32u) << test.what_it_proves;
        }
        CloseHandle(second.handle);
        CloseHandle(first.handle);
    }
}

TEST(StandinFiles, DeleteRespectsShareDeleteAndMissingFiles) {
    ScopedTempDir dir;
    const std::wstring path = dir.WindowsFile("d.bin");
    test_support::WriteBytes(dir.File("d.bin"), {1});
    Opened held = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), 32u);
    CloseHandle(held.handle);
    Opened shared = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    EXPECT_TRUE(DeleteFileW(path.c_str()));
    CloseHandle(shared.handle);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), 2u);
}

TEST(StandinFiles, SetFilePointerMovesAsWindowsDoes) {
    ScopedTempDir dir;
    test_support::WriteBytes(dir.File("p.bin"), test_support::PatternBytes(100));
    Opened file = Open(dir.WindowsFile("p.bin"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(file.handle, INVALID_HANDLE_VALUE);

    EXPECT_EQ(SetFilePointer(file.handle, 10, nullptr, FILE_BEGIN), 10u);
    EXPECT_EQ(SetFilePointer(file.handle, -4, nullptr, FILE_CURRENT), 6u);
    EXPECT_EQ(SetFilePointer(file.handle, -1, nullptr, FILE_END), 99u);
    EXPECT_EQ(SetFilePointer(file.handle, 500, nullptr, FILE_BEGIN), 500u)
        << "beyond the end is allowed";
    EXPECT_EQ(SetFilePointer(file.handle, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER)
        << "without a high part the distance is signed";
    EXPECT_EQ(GetLastError(), 131u);
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(file.handle, static_cast<LONG>(0xFFFFFFF0), &high, FILE_BEGIN),
              0xFFFFFFF0u)
        << "with a high part of 0 the low part is unsigned";
    EXPECT_EQ(high, 0);

    unsigned char byte = 0;
    DWORD read = 7;
    EXPECT_TRUE(ReadFile(file.handle, &byte, 1, &read, nullptr));
    EXPECT_EQ(read, 0u) << "reading past the end is success with no bytes";
    CloseHandle(file.handle);
}

TEST(StandinFiles, ReadAndWriteNeedTheRightAccessAndAnOpenHandle) {
    ScopedTempDir dir;
    Opened writer = Open(dir.WindowsFile("w.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS);
    char buffer[4];
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(writer.handle, buffer, 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), 5u);
    CloseHandle(writer.handle);
    EXPECT_FALSE(WriteFile(writer.handle, buffer, 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_FALSE(CloseHandle(writer.handle));
    EXPECT_EQ(GetLastError(), 6u);
    LARGE_INTEGER size{};
    EXPECT_FALSE(GetFileSizeEx(nullptr, &size));
    EXPECT_EQ(GetLastError(), 6u);
}

TEST(StandinFiles, FileSizeOfAnAttributesOnlyHandle) {
    ScopedTempDir dir;
    test_support::WriteBytes(dir.File("s.bin"), test_support::PatternBytes(12345));
    Opened file = Open(dir.WindowsFile("s.bin"), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    ASSERT_NE(file.handle, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(file.handle, &size));
    EXPECT_EQ(size.QuadPart, 12345);
    CloseHandle(file.handle);
}

}  // namespace
