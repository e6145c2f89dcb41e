// The stand-in's processes behave as Windows processes: waits, exit codes,
// bad handles, no inherited handles, the caller's environment and folder.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "standin/standin_controls.h"
#include "standin/windows_standin.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::ScopedTempDir;

constexpr wchar_t kShell[] = L"Z:\\bin\\sh";

// A started process whose handles close with the test's scope.
struct Started {
    BOOL ok = FALSE;
    DWORD error = 0;
    PROCESS_INFORMATION info{};

    Started(const std::wstring& application, std::wstring command_line) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        ok = CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                            CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &info);
        error = GetLastError();
    }
    ~Started() {
        if (ok) {
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
        }
    }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    DWORD ExitCode() const {
        EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
        return code;
    }
};

// A shell command line: sh -c "script" (the script holds no double quote).
std::wstring Shell(const std::wstring& script) {
    return L"sh -c \"" + script + L"\"";
}

std::set<std::string> OpenDescriptors() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(StandinProcesses, ExitCodesOfProgramsEndedWithoutExitProcess) {
    struct Case {
        const char* what_it_proves;
        std::wstring script;
        DWORD exit_code;
    };
    const Case kCases[] = {
        {"a plain exit status", L"exit 3", 3},
        {"only 8 bits arrive without ExitProcess", L"exit 300", 44},
        {"a segmentation fault is an access violation", L"kill -SEGV $$", 0xC0000005},
        {"a bus error is an access violation", L"kill -BUS $$", 0xC0000005},
        {"an illegal instruction", L"kill -ILL $$", 0xC000001D},
        {"an arithmetic fault", L"kill -FPE $$", 0xC0000094},
        {"abort gives 3 as on Windows", L"kill -ABRT $$", 3},
        {"an interrupt is a Ctrl+C exit", L"kill -INT $$", 0xC000013A},
        {"a kill from outside is a termination", L"kill -KILL $$", 1},
    };
    for (const Case& test : kCases) {
        const Started process(kShell, Shell(test.script));
        ASSERT_TRUE(process.ok) << test.what_it_proves << ": error " << process.error;
        EXPECT_EQ(process.ExitCode(), test.exit_code) << test.what_it_proves;
    }
}

TEST(StandinProcesses, WaitsWithTimeLimitsAndReportsStillActive) {
    const Started process(L"Z:\\bin\\sleep", L"sleep 0.5");
    ASSERT_TRUE(process.ok) << process.error;
    EXPECT_EQ(WaitForSingleObject(process.info.hProcess, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(process.info.hProcess, 50), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process.info.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(process.info.hThread, 60000), WAIT_OBJECT_0)
        << "the thread ends with the process";
    EXPECT_EQ(WaitForSingleObject(process.info.hProcess, 0), WAIT_OBJECT_0) << "stays signalled";
    EXPECT_TRUE(GetExitCodeProcess(process.info.hProcess, &code));
    EXPECT_EQ(code, 0u);
}

TEST(StandinProcesses, BadHandlesAndArgumentsFailAsOnWindows) {
    ScopedTempDir dir;
    test_support::WriteBytes(dir.File("f.bin"), {1});
    HANDLE file = CreateFileW(dir.WindowsFile("f.bin").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const Started process(kShell, Shell(L"exit 0"));
    ASSERT_TRUE(process.ok);
    DWORD code = 0;

    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7FFC), INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(file, 0), WAIT_FAILED) << "a file is not waited on here";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(GetExitCodeProcess(file, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(GetExitCodeProcess(process.info.hThread, &code)) << "a thread is no process";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(file);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    wchar_t line[] = L"sh";
    EXPECT_FALSE(CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &startup, &info))
        << "the program is always named";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    wchar_t environment[] = L"A=1\0";
    EXPECT_FALSE(CreateProcessW(kShell, line, nullptr, nullptr, FALSE, 0, environment, nullptr,
                                &startup, &info))
        << "another environment is refused, not ignored";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    std::wstring too_long = L"sh " + std::wstring(32764, L'x');  // 32767 with no room for NUL
    EXPECT_FALSE(CreateProcessW(kShell, too_long.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &info));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

// Missing files and folders are covered by the installer-process tests.
TEST(StandinProcesses, StartFailuresGiveTheWindowsCodes) {
    ScopedTempDir dir;
    test_support::WriteBytes(dir.File("text.exe"), {'a', 'b', '\n'});
    std::filesystem::permissions(dir.File("text.exe"), std::filesystem::perms::owner_all);
    test_support::WriteBytes(dir.File("unexecutable.exe"), {'a'});
    std::filesystem::permissions(dir.File("unexecutable.exe"), std::filesystem::perms::owner_read);
    struct Case {
        const char* what_it_proves;
        std::wstring path;
        DWORD error;
    };
    const Case kCases[] = {
        {"no executable format", dir.WindowsFile("text.exe"), ERROR_BAD_EXE_FORMAT},
        {"no right to execute", dir.WindowsFile("unexecutable.exe"), ERROR_ACCESS_DENIED},
        {"a folder", dir.WindowsFolder(), ERROR_ACCESS_DENIED},
        {"a name Windows refuses", dir.WindowsFile("a?.exe"), ERROR_INVALID_NAME},
    };
    const std::size_t open_before = standin::OpenHandleCount();
    for (const Case& test : kCases) {
        const Started process(test.path, L"\"" + test.path + L"\"");
        EXPECT_FALSE(process.ok) << test.what_it_proves;
        EXPECT_EQ(process.error, test.error) << test.what_it_proves;
    }
    EXPECT_EQ(standin::OpenHandleCount(), open_before);
}

TEST(StandinProcesses, ChildGetsNoHandlesButTheCallersEnvironmentAndFolder) {
    ScopedTempDir dir;
    const std::set<std::string> before = OpenDescriptors();
    HANDLE file = CreateFileW(dir.WindowsFile("held.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string file_fd;
    for (const std::string& fd : OpenDescriptors()) {
        if (!before.contains(fd)) {
            file_fd = fd;
        }
    }
    ASSERT_FALSE(file_fd.empty());
    ASSERT_EQ(setenv("TVK_PROCESS_TEST_VALUE", "caller's value", 1), 0);

    const std::string out = dir.File("out").string();
    // The shell sees host paths; write them as they are.
    const std::wstring host_out(out.begin(), out.end());
    const std::wstring host_script = L"ls /proc/$$/fd > " + host_out +
                                     L".fd; printf %s \\\"$TVK_PROCESS_TEST_VALUE\\\" > " +
                                     host_out + L".env; pwd -P > " + host_out + L".cwd";
    {
        const Started process(kShell, Shell(host_script));
        ASSERT_TRUE(process.ok) << process.error;
        EXPECT_EQ(process.ExitCode(), 0u);
    }
    CloseHandle(file);
    unsetenv("TVK_PROCESS_TEST_VALUE");

    std::set<std::string> child_fds;
    std::istringstream listed(ReadText(out + ".fd"));
    for (std::string fd; listed >> fd;) {
        child_fds.insert(fd);
    }
    EXPECT_FALSE(child_fds.empty());
    EXPECT_FALSE(child_fds.contains(file_fd)) << "the open file reached the child";
    EXPECT_EQ(ReadText(out + ".env"), "caller's value");
    EXPECT_EQ(ReadText(out + ".cwd"),
              std::filesystem::canonical(std::filesystem::current_path()).string() + "\n");
}

TEST(StandinProcesses, ClosingHandlesLeavesNoDescriptorAndNoZombie) {
    const std::set<std::string> before = OpenDescriptors();
    const std::size_t handles_before = standin::OpenHandleCount();
    pid_t pid = 0;
    {
        const Started process(L"Z:\\bin\\true", L"true");
        ASSERT_TRUE(process.ok);
        pid = static_cast<pid_t>(process.info.dwProcessId);
        // Not waited on: the handles close once it has ended.
        const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ReadText(stat_path).find(") Z ") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(standin::OpenHandleCount(), handles_before + 2);
    }
    EXPECT_EQ(standin::OpenHandleCount(), handles_before);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid))) << "left a zombie";
}

TEST(StandinProcesses, InjectedFailuresReportTheirCode) {
    standin::ScopedControls controls;
    const std::size_t handles_before = standin::OpenHandleCount();
    standin::FailNthCall(standin::Operation::CreateProcessW, 1, 0xABCD);
    {
        const Started refused(kShell, Shell(L"exit 0"));
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.error, 0xABCDu);
    }
    EXPECT_EQ(standin::OpenHandleCount(), handles_before);

    const Started process(kShell, Shell(L"exit 5"));
    ASSERT_TRUE(process.ok);
    standin::FailNthCall(standin::Operation::WaitForSingleObject, 1, 0xABCE);
    EXPECT_EQ(WaitForSingleObject(process.info.hProcess, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), 0xABCEu);
    standin::FailNthCall(standin::Operation::GetExitCodeProcess, 1, 0xABCF);
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeProcess(process.info.hProcess, &code));
    EXPECT_EQ(GetLastError(), 0xABCFu);
    EXPECT_EQ(process.ExitCode(), 5u) << "the next calls work again";
}

// Started without the stand-in, the program's command line is its real
// arguments, quoted so that they split back unchanged.
TEST(StandinProcesses, CommandLineOfAProgramStartedFromOutside) {
    const std::string all = ReadText("/proc/self/cmdline");
    std::vector<std::string> real;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = all.find('\0', at);
        real.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(GetCommandLineW(), &count);
    ASSERT_NE(split, nullptr);
    ASSERT_EQ(static_cast<std::size_t>(count), real.size());
    EXPECT_EQ(std::wstring(split[0]), standin::ToWindowsPath(real[0]));
    for (std::size_t i = 1; i < real.size(); ++i) {
        EXPECT_EQ(std::wstring(split[i]), std::wstring(real[i].begin(), real[i].end()));
    }
    LocalFree(split);
}

}  // namespace
