#include "platform/system_handle.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

using test_support::ScopedTempDir;

// A file open without FILE_SHARE_DELETE cannot be deleted: whether
// DeleteFileW succeeds tells whether the handle is still open.
TEST(SystemHandle, ClosesItsHandleWhenTheScopeEnds) {
    ScopedTempDir dir;
    const std::wstring path = dir.WindowsFile("held.bin");
    {
        SystemHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_NE(file.handle, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(DeleteFileW(path.c_str()));
        EXPECT_EQ(GetLastError(), 32u);  // ERROR_SHARING_VIOLATION
    }
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(SystemHandle, ClosesItsHandleWhenAnExceptionLeavesTheScope) {
    ScopedTempDir dir;
    const std::wstring path = dir.WindowsFile("held.bin");
    try {
        SystemHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_NE(file.handle, INVALID_HANDLE_VALUE);
        throw 42;
    } catch (int) {
    }
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

#ifndef _WIN32
TEST(SystemHandle, NeverClosesNullOrInvalidHandleValue) {
    standin::ScopedControls controls;
    { SystemHandle null_handle(nullptr); }
    { SystemHandle invalid_handle(INVALID_HANDLE_VALUE); }
    EXPECT_EQ(standin::CallCount(standin::Operation::CloseHandle), 0u);
}

TEST(SystemHandle, LeavesNoHandleOpen) {
    ScopedTempDir dir;
    const std::size_t before = standin::OpenHandleCount();
    {
        SystemHandle file(CreateFileW(dir.WindowsFile("a.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, 0, nullptr));
        EXPECT_EQ(standin::OpenHandleCount(), before + 1);
    }
    EXPECT_EQ(standin::OpenHandleCount(), before);
}
#endif

}  // namespace
