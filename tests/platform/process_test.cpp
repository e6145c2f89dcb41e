#include "platform/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/file_io.h"
#include "platform/system_error.h"
#include "platform/windows_api.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

using test_support::ScopedTempDir;

// The test installer records its command line in "<its path>.cmdline"
// (UTF-16LE) and exits with the code after "exit=" (tests/programs).
constexpr char kRecordSuffix[] = ".cmdline";

// Copies the test installer into dir as name; returns the path CProcess gets.
std::wstring CopyInstaller(const ScopedTempDir& dir, const std::string& name) {
    std::filesystem::copy_file(TVK_TEST_INSTALLER, dir.File(name));
    return dir.WindowsFile(name);
}

std::wstring ReceivedCommandLine(const ScopedTempDir& dir, const std::string& name) {
    const test_support::Bytes bytes = test_support::ReadBytes(dir.File(name + kRecordSuffix));
    std::wstring text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto unit = static_cast<wchar_t>(bytes[i] | bytes[i + 1] << 8);
        if (sizeof(wchar_t) > 2 && !text.empty() && text.back() >= 0xD800 && text.back() < 0xDC00 &&
            unit >= 0xDC00 && unit < 0xE000) {
            text.back() =
                static_cast<wchar_t>(0x10000 + ((text.back() - 0xD800) << 10) + (unit - 0xDC00));
        } else {
            text.push_back(unit);
        }
    }
    return text;
}

bool Started(const ScopedTempDir& dir, const std::string& name) {
    return std::filesystem::exists(dir.File(name + kRecordSuffix));
}

// Runs action, which must raise a system error; checks its code and message.
void ExpectSystemError(const std::function<void()>& action, DWORD code, const std::string& message,
                       const std::string& what_it_proves) {
    try {
        action();
        ADD_FAILURE() << "no error raised: " << what_it_proves;
    } catch (const WindowsSystemError& error) {
        EXPECT_EQ(static_cast<DWORD>(error.code().value()), code) << what_it_proves;
        EXPECT_EQ(std::string(error.what()).rfind(message + "\r\n", 0), 0u)
            << what_it_proves << ": " << error.what();
    }
}

TEST(CProcess, PassesTheArgumentsUnchangedAndReturnsTheExitCode) {
    ScopedTempDir dir;
    struct Case {
        const char* what_it_proves;
        std::string file_name;
        std::wstring arguments;
        DWORD exit_code;
    };
    const Case kCases[] = {
        {"empty arguments: the line ends with the separator", "installer.exe", L"", 0},
        {"a path with spaces is quoted", "my installer copy.exe", L"exit=1", 1},
        {"quotes and backslashes pass unchanged", "quotes.exe",
         L"/pi=\"Z:\\a b\\p.txt\" \"\" \\\"x\\\\\" exit=3010", 3010},
        {"blanks are neither trimmed nor merged", "blanks.exe", L"  a\t\tb  exit=2  ", 2},
        {"non-ASCII text arrives whole", "text.exe", L"/ico=\u00e9\u20ac.ico exit=256", 256},
        {"a code with the top bit set", "crash.exe", L"exit=0xC0000005", 0xC0000005},
        {"the largest code", "largest.exe", L"exit=0xFFFFFFFF", 0xFFFFFFFF},
    };
    for (const Case& test : kCases) {
        const std::wstring path = CopyInstaller(dir, test.file_name);
        {
            CProcess process(path);
            EXPECT_EQ(process.Run(test.arguments), test.exit_code) << test.what_it_proves;
        }
        EXPECT_EQ(ReceivedCommandLine(dir, test.file_name), L"\"" + path + L"\" " + test.arguments)
            << test.what_it_proves;
        EXPECT_FALSE(std::filesystem::exists(dir.File(test.file_name))) << test.what_it_proves;
    }
}

// The longest command line Windows takes is 32767 characters with its
// terminator; that one runs whole, one more starts nothing.
TEST(CProcess, RunsTheLongestCommandLineAndRefusesALongerOne) {
    ScopedTempDir dir;
    const std::wstring longest_path = CopyInstaller(dir, "longest.exe");
    const std::wstring kExit = L"exit=7 ";
    const std::size_t fill =
        CProcess::kMaxCommandLine - 1 - (longest_path.size() + 3) - kExit.size();
    const std::wstring longest = kExit + std::wstring(fill, L'x');
    {
        CProcess process(longest_path);
        EXPECT_EQ(process.Run(longest), 7u);
    }
    const std::wstring received = ReceivedCommandLine(dir, "longest.exe");
    EXPECT_EQ(received.size(), CProcess::kMaxCommandLine - 1);
    EXPECT_EQ(received, L"\"" + longest_path + L"\" " + longest);

    const std::wstring over_path = CopyInstaller(dir, "refused.exe");
    ASSERT_EQ(over_path.size(), longest_path.size());
#ifndef _WIN32
    standin::ScopedControls controls;
#endif
    {
        CProcess process(over_path);
        ExpectSystemError([&] { process.Run(longest + L"x"); }, ERROR_FILENAME_EXCED_RANGE,
                          "Failed to start installer", "one character too many");
    }
    EXPECT_FALSE(Started(dir, "refused.exe"));
#ifndef _WIN32
    EXPECT_EQ(standin::CallCount(standin::Operation::CreateProcessW), 0u);
#endif
    EXPECT_FALSE(std::filesystem::exists(dir.File("refused.exe")));
}

TEST(CProcess, AFileThatCannotStartGivesTheSystemsCodeAndIsDeleted) {
    ScopedTempDir dir;
    // Written the way the stub writes the installer copy.
    std::string not_a_program = "These bytes are no program.\r\n";
    for (std::uint8_t byte : test_support::PatternBytes(4096)) {
        not_a_program.push_back(static_cast<char>(byte));
    }
    ASSERT_TRUE(
        WriteWholeFile(dir.WindowsFile("random.exe"), not_a_program.data(), not_a_program.size()));
    struct Case {
        const char* what_it_proves;
        std::string file_name;
        DWORD code;
    };
    const Case kCases[] = {
        {"a missing file", "missing.exe", ERROR_FILE_NOT_FOUND},
        {"a file in a missing folder", "nowhere/missing.exe", ERROR_PATH_NOT_FOUND},
        {"a file that is no executable", "random.exe", ERROR_BAD_EXE_FORMAT},
    };
    for (const Case& test : kCases) {
        {
            CProcess process(dir.WindowsFile(test.file_name));
            ExpectSystemError([&] { process.Run(L"/S"); }, test.code, "Failed to start installer",
                              test.what_it_proves);
        }
        EXPECT_FALSE(std::filesystem::exists(dir.File(test.file_name))) << test.what_it_proves;
    }
    EXPECT_TRUE(dir.Names().empty());
}

TEST(CProcess, DeletesItsFileWhenDestroyedWithoutRun) {
    ScopedTempDir dir;
    {
        CProcess process(CopyInstaller(dir, "unused.exe"));
        EXPECT_TRUE(std::filesystem::exists(dir.File("unused.exe")));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("unused.exe")));
    EXPECT_TRUE(dir.Names().empty());
}

#ifndef _WIN32
TEST(CProcess, FailedCallsRaiseTheirCodeAndLeaveNoHandleOpen) {
    struct Case {
        const char* what_it_proves;
        standin::Operation operation;
        DWORD code;
        std::string message;
        bool starts;
    };
    const Case kCases[] = {
        {"the start fails", standin::Operation::CreateProcessW, ERROR_ACCESS_DENIED,
         "Failed to start installer", false},
        {"the wait fails", standin::Operation::WaitForSingleObject, ERROR_INVALID_HANDLE,
         "Failed to wait for installer to finish", true},
        {"the exit code cannot be had", standin::Operation::GetExitCodeProcess, 0xC0000022,
         "Failed to get installer process result", true},
    };
    for (const Case& test : kCases) {
        ScopedTempDir dir;
        standin::ScopedControls controls;
        const std::size_t open_before = standin::OpenHandleCount();
        {
            CProcess process(CopyInstaller(dir, "installer.exe"));
            standin::FailNthCall(test.operation, 1, test.code);
            ExpectSystemError([&] { process.Run(L"exit=0"); }, test.code, test.message,
                              test.what_it_proves);
            EXPECT_EQ(standin::OpenHandleCount(), open_before) << test.what_it_proves;
        }
        EXPECT_FALSE(std::filesystem::exists(dir.File("installer.exe"))) << test.what_it_proves;
        // An installer left running after a failed wait ends on its own.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (test.starts && !Started(dir, "installer.exe") &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(Started(dir, "installer.exe"), test.starts) << test.what_it_proves;
    }
}
#endif

}  // namespace
