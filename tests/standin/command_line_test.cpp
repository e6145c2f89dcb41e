// The stand-in's CommandLineToArgvW as a Windows operation, and the command
// lines it composes for programs started from outside. The splitting rules
// themselves are checked against Windows in the launcher's tests.
#include "standin/command_line.h"

#include <gtest/gtest.h>

#include "standin/standin_controls.h"
#include "standin/windows_standin.h"

namespace {

using Arguments = std::vector<std::wstring>;

TEST(StandinCommandLine, ComposedLinesSplitBackUnchanged) {
    const Arguments kCases[] = {
        {L"Z:\\bin\\prog"},
        {L"Z:\\a b\\prog", L"plain"},
        {L"p", L""},
        {L"p", L"a b", L"\t"},
        {L"p", L"\"", L"\"\"", L"a\"b\"\"c"},
        {L"p", L"a\\", L"a\\\\", L"\\\"", L"a b\\", L"\\\\\"x\\\\"},
        {L"p", L"/pi=C:\\Program Files\\p.txt", L"--gtest_filter=A.*:B.C"},
        {L"", L"x"},
    };
    for (const Arguments& arguments : kCases) {
        const std::wstring line = standin::detail::ComposeWindowsCommandLine(arguments);
        EXPECT_EQ(standin::detail::SplitWindowsCommandLine(line), arguments)
            << standin::detail::SplitWindowsCommandLine(line).size();
    }
}

TEST(StandinCommandLine, OneBlockForLocalFreeEndingInANullPointer) {
    standin::ScopedControls controls;
    const std::size_t open_before = standin::OpenLocalAllocationCount();
    int count = -1;
    LPWSTR* arguments = CommandLineToArgvW(L"p \"a b\" c", &count);
    ASSERT_NE(arguments, nullptr);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(std::wstring(arguments[1]), L"a b");
    EXPECT_EQ(arguments[3], nullptr);
    EXPECT_EQ(standin::OpenLocalAllocationCount(), open_before + 1);
    EXPECT_EQ(LocalFree(arguments), nullptr);
    EXPECT_EQ(standin::OpenLocalAllocationCount(), open_before);
}

TEST(StandinCommandLine, RefusesMissingArgumentsAndHonoursInjectedFailures) {
    standin::ScopedControls controls;
    int count = -1;
    EXPECT_EQ(CommandLineToArgvW(L"a", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CommandLineToArgvW(nullptr, &count), nullptr) << "Windows faults here";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    standin::FailNthCall(standin::Operation::CommandLineToArgvW, 1, 0xABCD);
    EXPECT_EQ(CommandLineToArgvW(L"a", &count), nullptr);
    EXPECT_EQ(GetLastError(), 0xABCDu);
    EXPECT_EQ(count, -1) << "a failed call leaves the count alone";
    EXPECT_EQ(standin::OpenLocalAllocationCount(), 0u);
}

}  // namespace
