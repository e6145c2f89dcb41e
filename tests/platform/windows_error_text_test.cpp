#include "platform/windows_error_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/windows_api.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

// Whether this system has a text for the code, asked independently.
bool SystemHasTextFor(std::uint32_t code) {
    wchar_t buffer[1024];
    return FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                          MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, 1024, nullptr) != 0;
}

TEST(GetWindowsErrorText, GivesTheSystemTextWithItsLineBreakKept) {
    ASSERT_TRUE(SystemHasTextFor(2));
    const std::wstring text = GetWindowsErrorText(2);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
    EXPECT_EQ(text.find(L"Windows error"), std::wstring::npos);
#ifndef _WIN32
    EXPECT_EQ(text, L"The system cannot find the file specified.\r\n");
#endif
}

TEST(GetWindowsErrorText, FallsBackToLowerCaseHexWithoutLeadingZeros) {
    struct Case {
        std::uint32_t code;
        const wchar_t* expected;
    };
    const Case kCases[] = {
        {2748, L"Windows error 0xabc"},
        {0xC0000001, L"Windows error 0xc0000001"},
        {0xFFFFFFFF, L"Windows error 0xffffffff"},
        {0x0000F00D, L"Windows error 0xf00d"},
    };
    int checked = 0;
    for (const Case& test : kCases) {
        if (SystemHasTextFor(test.code)) {
            continue;  // this system has its own text; the fallback does not apply
        }
        EXPECT_EQ(GetWindowsErrorText(test.code), test.expected);
        ++checked;
    }
    EXPECT_GT(checked, 0) << "the system had a text for every code tried";
}

#ifndef _WIN32
TEST(GetWindowsErrorText, ZeroWithoutATextIsTheSingleDigitZero) {
    standin::ScopedControls controls;
    standin::FailNthCall(standin::Operation::FormatMessageW, 1, 317);
    EXPECT_EQ(GetWindowsErrorText(0), L"Windows error 0x0");
}

TEST(GetWindowsErrorText, ReleasesTheSystemBuffer) {
    const std::size_t before = standin::OpenLocalAllocationCount();
    EXPECT_FALSE(GetWindowsErrorText(5).empty());
    EXPECT_EQ(standin::OpenLocalAllocationCount(), before);
}

TEST(GetWindowsErrorText, StandInHasNoTextForUnassignedCodes) {
    EXPECT_FALSE(SystemHasTextFor(2748));
    EXPECT_FALSE(SystemHasTextFor(0xC0000001));
}
#endif

}  // namespace
