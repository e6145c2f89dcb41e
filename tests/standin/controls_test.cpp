// The stand-in's test controls: fault injection, transfer limits, counts.
#include <gtest/gtest.h>

#include "standin/standin_controls.h"
#include "tests/support/temp_dir.h"

namespace {

using standin::Operation;
using test_support::ScopedTempDir;

TEST(StandinControls, FailsExactlyTheNthCallWithTheChosenCode) {
    standin::ScopedControls controls;
    ScopedTempDir dir;
    test_support::WriteBytes(dir.File("f.bin"), {1, 2, 3});
    const std::wstring path = dir.WindowsFile("f.bin");
    standin::FailNthCall(Operation::CreateFileW, 2, 0x1234);
    std::vector<bool> opened;
    for (int i = 0; i < 3; ++i) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        opened.push_back(file != INVALID_HANDLE_VALUE);
        if (file == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(GetLastError(), 0x1234u);
        }
        CloseHandle(file);
    }
    EXPECT_EQ(opened, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(standin::CallCount(Operation::CreateFileW), 3u);
}

TEST(StandinControls, EveryOperationReportsAnInjectedFailureAsWindowsDoes) {
    standin::ScopedControls controls;
    ScopedTempDir dir;
    test_support::WriteBytes(dir.File("f.bin"), {1, 2, 3});
    HANDLE file = CreateFileW(dir.WindowsFile("f.bin").c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const DWORD kCode = 0xABCD;
    auto fail = [&](Operation operation) { standin::FailNthCall(operation, 1, kCode); };
    char buffer[8];
    DWORD count = 0;
    LARGE_INTEGER size{};

    fail(Operation::ReadFile);
    EXPECT_FALSE(ReadFile(file, buffer, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), kCode);
    fail(Operation::WriteFile);
    EXPECT_FALSE(WriteFile(file, buffer, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), kCode);
    fail(Operation::SetFilePointer);
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), kCode);
    fail(Operation::GetFileSizeEx);
    EXPECT_FALSE(GetFileSizeEx(file, &size));
    EXPECT_EQ(GetLastError(), kCode);
    fail(Operation::GetTempPathW);
    wchar_t path[MAX_PATH];
    EXPECT_EQ(GetTempPathW(MAX_PATH, path), 0u);
    EXPECT_EQ(GetLastError(), kCode);
    fail(Operation::GetModuleFileNameW);
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), kCode);
    fail(Operation::GetSystemDirectoryW);
    EXPECT_EQ(GetSystemDirectoryW(path, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), kCode);
    fail(Operation::GetSystemWow64DirectoryW);
    EXPECT_EQ(GetSystemWow64DirectoryW(path, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), kCode);
    fail(Operation::IsWow64Process);
    BOOL wow64 = FALSE;
    EXPECT_FALSE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(GetLastError(), kCode);
    fail(Operation::DeleteFileW);
    EXPECT_FALSE(DeleteFileW(dir.WindowsFile("f.bin").c_str()));
    EXPECT_EQ(GetLastError(), kCode);
    fail(Operation::CoCreateGuid);
    GUID guid{};
    EXPECT_NE(CoCreateGuid(&guid), S_OK);
    EXPECT_TRUE(CloseHandle(file));
}

TEST(StandinControls, TransferLimitShortensOneReadOrWrite) {
    standin::ScopedControls controls;
    ScopedTempDir dir;
    const auto content = test_support::PatternBytes(64);
    test_support::WriteBytes(dir.File("f.bin"), content);
    HANDLE file = CreateFileW(dir.WindowsFile("f.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    standin::LimitNthTransfer(Operation::ReadFile, 2, 5);
    unsigned char buffer[64];
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(file, buffer, 10, &count, nullptr));
    EXPECT_EQ(count, 10u);
    EXPECT_TRUE(ReadFile(file, buffer, 10, &count, nullptr));
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(buffer[0], content[10]);
    CloseHandle(file);
}

TEST(StandinControls, CountsOpenHandles) {
    ScopedTempDir dir;
    const std::size_t before = standin::OpenHandleCount();
    HANDLE file = CreateFileW(dir.WindowsFile("n.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(standin::OpenHandleCount(), before + 1);
    CloseHandle(file);
    EXPECT_EQ(standin::OpenHandleCount(), before);
}

TEST(StandinControls, RecordsMessageBoxes) {
    standin::ScopedControls controls;
    EXPECT_EQ(MessageBoxW(nullptr, L"text", L"caption", MB_ICONERROR), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "narrow", "cap", MB_OK), IDOK);
    const auto boxes = standin::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(boxes[0].wide);
    EXPECT_EQ(boxes[0].text, L"text");
    EXPECT_EQ(boxes[0].type, MB_ICONERROR);
    EXPECT_FALSE(boxes[1].wide);
    EXPECT_EQ(boxes[1].caption, L"cap");
}

}  // namespace
