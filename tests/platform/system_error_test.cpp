#include "platform/system_error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/pe_format_exception.h"
#include "platform/windows_api.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

// What the launcher would catch, copied out whole (not sliced).
WindowsSystemError Raised(std::uint32_t code, const std::string& message) {
    try {
        ThrowSystemError(code, message);
    } catch (const WindowsSystemError& error) {
        return error;
    }
    ADD_FAILURE() << "ThrowSystemError returned";
    return WindowsSystemError(0, "");
}

TEST(ThrowSystemError, CarriesTheCodeInTheSystemCategory) {
    struct Case {
        const char* what_it_proves;
        std::uint32_t code;
    };
    const Case kCases[] = {
        {"a small code", 2},
        {"zero", 0},
        {"a code with the top bit set keeps every bit", 0xC0000005},
        {"the largest code", 0xFFFFFFFF},
    };
    for (const Case& test : kCases) {
        const WindowsSystemError error = Raised(test.code, "Failed to start installer");
        EXPECT_EQ(static_cast<std::uint32_t>(error.code().value()), test.code)
            << test.what_it_proves;
        EXPECT_EQ(&error.code().category(), &std::system_category()) << test.what_it_proves;
    }
}

TEST(ThrowSystemError, WhatIsTheMessageThenCrLfThenTheCategoryText) {
    const WindowsSystemError error = Raised(2, "Failed to start installer");
    const std::string expected =
        "Failed to start installer\r\n" + std::system_category().message(2);
    EXPECT_EQ(std::string(error.what()), expected);
}

TEST(ThrowSystemError, IsNoFormatFailure) {
    bool caught_as_system_error = false;
    try {
        ThrowSystemError(5, "Failed to extract the installer");
    } catch (const PeFormatException&) {
        FAIL() << "a system error was caught as a format failure";
    } catch (const std::system_error&) {
        caught_as_system_error = true;
    }
    EXPECT_TRUE(caught_as_system_error);
}

TEST(ThrowSystemError, CarriesTheCodeOfTheFailedCallUnchanged) {
    // A call that really fails: the code GetLastError gives right after it
    // reaches the exception unchanged.
    HANDLE file = CreateFileW(L"Z:\\no-such-folder-here\\nothing.bin", GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(file, INVALID_HANDLE_VALUE);
    const DWORD code = GetLastError();
    EXPECT_EQ(code, 3u);  // ERROR_PATH_NOT_FOUND
    EXPECT_EQ(
        static_cast<DWORD>(Raised(code, "Failed to open current executable file").code().value()),
        code);
}

#ifndef _WIN32
TEST(ThrowSystemError, CarriesAnInjectedCodeUnchanged) {
    standin::ScopedControls controls;
    const DWORD kInjected = 0xE0001234;
    standin::FailNthCall(standin::Operation::CreateFileW, 1, kInjected);
    HANDLE file =
        CreateFileW(L"Z:\\tmp", FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(file, INVALID_HANDLE_VALUE);
    const WindowsSystemError error =
        Raised(GetLastError(), "Failed to open current executable file");
    EXPECT_EQ(static_cast<DWORD>(error.code().value()), kInjected);
}
#endif

}  // namespace
