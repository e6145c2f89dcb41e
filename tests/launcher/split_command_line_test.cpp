#include "launcher/split_command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system_error.h"
#include "platform/windows_api.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

using Arguments = std::vector<std::wstring>;

Arguments CommandLineToArguments(const wchar_t* text) {
    int count = 0;
    LPWSTR* block = CommandLineToArgvW(text, &count);
    if (block == nullptr) {
        ADD_FAILURE() << "CommandLineToArgvW failed with " << GetLastError();
        return {};
    }
    Arguments arguments(block, block + count);
    EXPECT_EQ(block[count], nullptr) << "the array ends with a null pointer";
    LocalFree(block);
    return arguments;
}

// The splitting rules that SplitCommandLine relies on. Each row was taken
// from Wine's CommandLineToArgvW; the same table runs against Windows (under
// Wine) and the stand-in, so both split alike.
TEST(CommandLineToArgvW, SplitsAsWindowsDoes) {
    struct Case {
        const char* what_it_proves;
        const wchar_t* text;
        Arguments expected;
    };
    const Case kCases[] = {
        {"one switch", L"/S", {L"/S"}},
        {"two words", L"a b", {L"a", L"b"}},
        {"several blanks separate once", L"a   b", {L"a", L"b"}},
        {"a tab separates", L"a\tb", {L"a", L"b"}},
        {"tabs and spaces mixed", L"a\tb\t\t c", {L"a", L"b", L"c"}},
        {"trailing blanks add nothing", L"a b \t", {L"a", L"b"}},
        {"a leading blank ends an empty first argument", L" a b", {L"", L"a", L"b"}},
        {"a leading tab likewise", L"\t\ta", {L"", L"a"}},
        {"blanks alone give one empty argument", L"   ", {L""}},
        {"line breaks, vertical tabs and other spaces do not separate",
         L"a\nb\rc\vd\fe\u00a0f\u3000g",
         {L"a\nb\rc\vd\fe\u00a0f\u3000g"}},
        {"a quoted first argument keeps its blanks", L"\"a b\" c", {L"a b", L"c"}},
        {"a quoted first argument ends at its closing quote", L"\"a b\"c d", {L"a b", L"c", L"d"}},
        {"the next argument starts right after a first quoted one",
         L"\"a\"b c",
         {L"a", L"b", L"c"}},
        {"an unclosed first quote runs to the end", L"\"a b", {L"a b"}},
        {"a lone quote is an empty first argument", L"\"", {L""}},
        {"an empty quoted first argument", L"\"\" a", {L"", L"a"}},
        {"quotes inside an unquoted first argument are characters",
         L"a\"b c\"d e",
         {L"a\"b", L"cd e"}},
        {"doubled quotes in the first argument are characters", L"a\"\"b", {L"a\"\"b"}},
        {"a backslash before a quote in the first argument is a character",
         L"\"a\\\" b",
         {L"a\\", L"b"}},
        {"a quoted run keeps its blanks",
         L"x \"C:\\Program Files\\p.txt\" /S",
         {L"x", L"C:\\Program Files\\p.txt", L"/S"}},
        {"quotes in the middle of an argument", L"a x\"y\"z w", {L"a", L"xyz", L"w"}},
        {"an empty quoted argument", L"a \"\" b", {L"a", L"", L"b"}},
        {"empty quoted arguments at the end", L"a \"\" \"\"", {L"a", L"", L""}},
        {"an unclosed quote runs to the end", L"a \"b c", {L"a", L"b c"}},
        {"a quoted tab", L"a \"\t\" b", {L"a", L"\t", L"b"}},
        {"backslashes without a quote are characters", L"a \\b\\\\c\\", {L"a", L"\\b\\\\c\\"}},
        {"a trailing backslash", L"a b\\", {L"a", L"b\\"}},
        {"one backslash escapes a quote", L"a \\\"", {L"a", L"\""}},
        {"three backslashes give one and a quote", L"a \\\\\\\"b c", {L"a", L"\\\"b", L"c"}},
        {"two backslashes give one and the quote opens",
         L"a \\\\\"b c\" d",
         {L"a", L"\\b c", L"d"}},
        {"four backslashes give two and the quote opens", L"a \\\\\\\\\"b c\"", {L"a", L"\\\\b c"}},
        {"an escaped quote inside a quoted run", L"a \"b\\\" c\"", {L"a", L"b\" c"}},
        {"two backslashes before a closing quote", L"a \"\\\\\"", {L"a", L"\\"}},
        {"a doubled quote inside quotes gives a quote and leaves the run",
         L"a \"b\"\"c d\" e",
         {L"a", L"b\"c", L"d e"}},
        {"after the doubled quote a quote opens again", L"a \"b\"\"c\" d", {L"a", L"b\"c d"}},
        {"three quotes outside give one quote", L"a \"\"\"", {L"a", L"\""}},
        {"three quotes on each side", L"a \"\"\"b\"\"\" c", {L"a", L"\"b\"", L"c"}},
        {"four quotes give a quote and open a run", L"a \"\"\"\" b", {L"a", L"\" b"}},
        {"six quotes give two", L"x \"\"\"\"\"\" y", {L"x", L"\"\"", L"y"}},
        {"a doubled quote outside quotes gives nothing", L"a b\"\"c", {L"a", L"bc"}},
        {"three quotes closing a run", L"a \"b c\"\"\" d", {L"a", L"b c\" d"}},
        {"an escaped quote then two quotes", L"a \\\"\"\" b", {L"a", L"\"", L"b"}},
        {"an escaped quote then three quotes", L"a \\\"\"\"\" b", {L"a", L"\"\"", L"b"}},
        {"an escaped quote then one that opens a run", L"a \\\"\"b c", {L"a", L"\"b c"}},
        {"a quoted switch value first: its quote is a character, the next one opens",
         L"/pi=\"Z:\\tmp\\a b\\p.txt\" /S \"/ico=x y.ico\"",
         {L"/pi=\"Z:\\tmp\\a", L"b\\p.txt /S /ico=x", L"y.ico"}},
        {"the same switch after another argument",
         L"/S /pi=\"Z:\\a b\\p.txt\"",
         {L"/S", L"/pi=Z:\\a b\\p.txt"}},
        {"non-ASCII text is kept", L"\u00e9t\u00e9 \"\u20ac 1\"", {L"\u00e9t\u00e9", L"\u20ac 1"}},
    };
    for (const Case& test : kCases) {
        EXPECT_EQ(CommandLineToArguments(test.text), test.expected) << test.what_it_proves;
    }
}

// The argument text holds no program name: its first word is split as an
// argument, not by the program-name rules.
TEST(SplitCommandLine, SplitsEveryWordAsAnArgument) {
    struct Case {
        const char* what_it_proves;
        const wchar_t* text;
        Arguments expected;
    };
    const Case kCases[] = {
        {"the silent switch alone", L"/S", {L"/S"}},
        {"a quoted argument with a space is one, without its quotes",
         L"\"a b\" /S",
         {L"a b", L"/S"}},
        {"several blanks separate once", L"/S   /pi=x", {L"/S", L"/pi=x"}},
        {"a quoted value in the first argument keeps the next one apart",
         L"/pi=\"C:\\My Files\\p.txt\" /S",
         {L"/pi=C:\\My Files\\p.txt", L"/S"}},
        {"a first quoted run goes on after its closing quote", L"\"a\"b c", {L"ab", L"c"}},
        {"an escaped quote in the first argument", L"a\\\"b", {L"a\"b"}},
        {"leading blanks add no empty argument", L"  \t/S", {L"/S"}},
        {"blanks alone are no argument", L" \t ", {}},
        {"an empty quoted argument stays", L"\"\" /S", {L"", L"/S"}},
    };
    for (const Case& test : kCases) {
        EXPECT_EQ(SplitCommandLine(test.text), test.expected) << test.what_it_proves;
    }
}

TEST(SplitCommandLine, NullOrEmptyTextGivesNoArguments) {
#ifndef _WIN32
    standin::ScopedControls controls;
#endif
    EXPECT_TRUE(SplitCommandLine(nullptr).empty());
    EXPECT_TRUE(SplitCommandLine(L"").empty());
#ifndef _WIN32
    EXPECT_EQ(standin::CallCount(standin::Operation::CommandLineToArgvW), 0u)
        << "an empty text would give the program's path";
#endif
}

// Why SplitCommandLine must not pass an empty text on: the system then gives
// the running program's path as the one argument.
TEST(CommandLineToArgvW, EmptyTextGivesTheRunningProgram) {
    wchar_t own_path[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(nullptr, own_path, MAX_PATH), 0u);
    EXPECT_EQ(CommandLineToArguments(L""), Arguments{own_path});
}

#ifndef _WIN32
TEST(SplitCommandLine, FreesTheSystemsArrayOnce) {
    standin::ScopedControls controls;
    const std::size_t open_before = standin::OpenLocalAllocationCount();
    EXPECT_EQ(SplitCommandLine(L"a \"b c\" d").size(), 3u);
    EXPECT_EQ(standin::CallCount(standin::Operation::CommandLineToArgvW), 1u);
    EXPECT_EQ(standin::CallCount(standin::Operation::LocalFree), 1u);
    EXPECT_EQ(standin::OpenLocalAllocationCount(), open_before);
}

TEST(SplitCommandLine, AFailureRaisesTheSystemErrorWithItsCode) {
    standin::ScopedControls controls;
    standin::FailNthCall(standin::Operation::CommandLineToArgvW, 1, ERROR_NOT_ENOUGH_MEMORY);
    try {
        SplitCommandLine(L"/S");
        FAIL() << "no error raised";
    } catch (const WindowsSystemError& error) {
        EXPECT_EQ(error.code().value(), static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(std::string(error.what()).rfind("Failed to parse command line\r\n", 0), 0u);
    }
    EXPECT_EQ(standin::CallCount(standin::Operation::LocalFree), 0u) << "nothing to free";
}
#endif

}  // namespace
