// The installer image is copied out of the package whole, or the copy fails
// with "Failed to extract the installer" and the failed call's code.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "package/pe_reader.h"
#include "platform/system_error.h"
#include "platform/windows_api.h"
#include "tests/support/synthetic_package.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

using test_support::Bytes;
using test_support::ScopedTempDir;
using test_support::SyntheticPackage;

constexpr char kExtractFailed[] = "Failed to extract the installer";
constexpr std::size_t kMiB = 1048576;

// A package in dir with the given installer image, and the reader on it.
struct PackageFile {
    PackageFile(const ScopedTempDir& dir, const Bytes& installer) {
        SyntheticPackage package;
        package.installer = installer;
        test_support::WriteBytes(dir.File("package.exe"), package.Build());
        reader = std::make_unique<PeReader>(dir.WindowsFile("package.exe"));
    }
    std::unique_ptr<PeReader> reader;
};

// The code of the system error that action raised with the extraction's
// message; 0 when it raised none.
std::uint32_t ExtractionErrorCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const WindowsSystemError& error) {
        EXPECT_TRUE(std::string(error.what()).starts_with(std::string(kExtractFailed) + "\r\n"))
            << error.what();
        return static_cast<std::uint32_t>(error.code().value());
    }
    return 0;
}

// The first size bytes of bytes.
Bytes Prefix(const Bytes& bytes, std::size_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

TEST(ExtractInstaller, CopiesTheImageByteForByteInChunksOfOneMebibyte) {
    struct Case {
        const char* what_it_proves;
        std::size_t length;
        unsigned transfers;  // ReadFile and WriteFile calls each
    };
    const Case kCases[] = {
        {"the smallest image", 1, 1},
        {"an ordinary small image", 3000, 1},
        {"one byte less than the buffer", kMiB - 1, 1},
        {"exactly the buffer", kMiB, 1},
        {"one byte more than the buffer", kMiB + 1, 2},
        {"several chunks and a remainder", 3 * kMiB + 12345, 4},
    };
    for (const Case& test : kCases) {
        ScopedTempDir dir;
        const Bytes installer = test_support::PatternBytes(test.length, 11);
        PackageFile package(dir, installer);
#ifndef _WIN32
        standin::ScopedControls controls;
#endif
        package.reader->ExtractInstaller(dir.WindowsFile("copy.exe"));
        EXPECT_EQ(test_support::ReadBytes(dir.File("copy.exe")), installer) << test.what_it_proves;
#ifndef _WIN32
        EXPECT_EQ(standin::CallCount(standin::Operation::ReadFile), test.transfers)
            << test.what_it_proves;
        EXPECT_EQ(standin::CallCount(standin::Operation::WriteFile), test.transfers)
            << test.what_it_proves;
        EXPECT_EQ(standin::OpenHandleCount(), 0u) << test.what_it_proves;
#endif
    }
}

TEST(ExtractInstaller, CopiesAnImageOfTensOfMegabytes) {
    ScopedTempDir dir;
    const Bytes installer = test_support::PatternBytes(40 * 1000 * 1000 + 7, 5);
    PackageFile package(dir, installer);
    package.reader->ExtractInstaller(dir.WindowsFile("copy.exe"));
    EXPECT_TRUE(test_support::ReadBytes(dir.File("copy.exe")) == installer);
}

TEST(ExtractInstaller, TargetInAMissingDirectoryFailsAndLeavesNoFile) {
    ScopedTempDir dir;
    PackageFile package(dir, test_support::PatternBytes(5000));
    const std::wstring target = dir.WindowsFolder() + L"missing\\copy.exe";
    EXPECT_EQ(ExtractionErrorCode([&] { package.reader->ExtractInstaller(target); }),
              ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"package.exe"});
}

TEST(ExtractInstaller, SourceThatEndsBeforeTheImageDoesIsAFailure) {
    struct Case {
        const char* what_it_proves;
        std::size_t bytes_left;  // of the image, after the file shrank
    };
    const Case kCases[] = {
        {"nothing of the image is left", 0},
        {"the end falls inside the first chunk", 1000},
        {"the end falls inside a later chunk", kMiB + 1000},
    };
    const Bytes installer = test_support::PatternBytes(2 * kMiB + 5, 9);
    for (const Case& test : kCases) {
        ScopedTempDir dir;
        PackageFile package(dir, installer);
        // The file shrinks after it was validated.
        std::filesystem::resize_file(dir.File("package.exe"),
                                     test_support::kSyntheticInstallerOffset + test.bytes_left);
        EXPECT_EQ(ExtractionErrorCode(
                      [&] { package.reader->ExtractInstaller(dir.WindowsFile("copy.exe")); }),
                  ERROR_HANDLE_EOF)
            << test.what_it_proves;
        // What was copied stays where it is.
        EXPECT_EQ(test_support::ReadBytes(dir.File("copy.exe")), Prefix(installer, test.bytes_left))
            << test.what_it_proves;
    }
}

#ifndef _WIN32
TEST(ExtractInstaller, EveryFailedCallIsReportedWithItsCodeAndClosesEveryHandle) {
    struct Case {
        const char* what_it_proves;
        standin::Operation operation;
        unsigned nth;
        DWORD code;
        bool target_left;    // whether a (partial) target file stays
        std::size_t copied;  // its length when it does
    };
    using standin::Operation;
    const Case kCases[] = {
        {"opening the source", Operation::CreateFileW, 1, ERROR_SHARING_VIOLATION, false, 0},
        {"opening the target", Operation::CreateFileW, 2, ERROR_ACCESS_DENIED, false, 0},
        {"moving to the image", Operation::SetFilePointer, 1, ERROR_NEGATIVE_SEEK, true, 0},
        {"the first read", Operation::ReadFile, 1, ERROR_READ_FAULT, true, 0},
        {"a later read", Operation::ReadFile, 2, ERROR_READ_FAULT, true, kMiB},
        {"the first write", Operation::WriteFile, 1, ERROR_DISK_FULL, true, 0},
        {"a later write", Operation::WriteFile, 2, ERROR_DISK_FULL, true, kMiB},
        {"a code with the top bit set", Operation::ReadFile, 1, 0xC000009C, true, 0},
    };
    ScopedTempDir dir;
    const Bytes installer = test_support::PatternBytes(kMiB + 1, 4);
    PackageFile package(dir, installer);
    for (const Case& test : kCases) {
        standin::ScopedControls controls;
        standin::FailNthCall(test.operation, test.nth, test.code);
        EXPECT_EQ(ExtractionErrorCode(
                      [&] { package.reader->ExtractInstaller(dir.WindowsFile("copy.exe")); }),
                  test.code)
            << test.what_it_proves;
        EXPECT_EQ(standin::OpenHandleCount(), 0u) << test.what_it_proves;
        EXPECT_EQ(std::filesystem::exists(dir.File("copy.exe")), test.target_left)
            << test.what_it_proves;
        if (test.target_left) {
            EXPECT_EQ(test_support::ReadBytes(dir.File("copy.exe")), Prefix(installer, test.copied))
                << test.what_it_proves;
            std::filesystem::remove(dir.File("copy.exe"));
        }
    }
}

TEST(ExtractInstaller, ShortReadsAreFollowedByMoreReads) {
    ScopedTempDir dir;
    const Bytes installer = test_support::PatternBytes(kMiB + 1, 8);
    PackageFile package(dir, installer);
    standin::ScopedControls controls;
    standin::LimitNthTransfer(standin::Operation::ReadFile, 1, 1000);
    package.reader->ExtractInstaller(dir.WindowsFile("copy.exe"));
    EXPECT_EQ(test_support::ReadBytes(dir.File("copy.exe")), installer);
}

TEST(ExtractInstaller, ReadThatEndsEarlyIsAFailure) {
    ScopedTempDir dir;
    PackageFile package(dir, test_support::PatternBytes(3 * kMiB, 8));
    standin::ScopedControls controls;
    standin::LimitNthTransfer(standin::Operation::ReadFile, 2, 0);
    EXPECT_EQ(
        ExtractionErrorCode([&] { package.reader->ExtractInstaller(dir.WindowsFile("copy.exe")); }),
        ERROR_HANDLE_EOF);
    EXPECT_EQ(standin::OpenHandleCount(), 0u);
    EXPECT_EQ(std::filesystem::file_size(dir.File("copy.exe")), kMiB);
}

TEST(ExtractInstaller, ShortWriteIsAFailure) {
    ScopedTempDir dir;
    const Bytes installer = test_support::PatternBytes(kMiB + 1, 8);
    PackageFile package(dir, installer);
    struct Case {
        const char* what_it_proves;
        unsigned nth;
        DWORD limit;
        std::size_t copied;
    };
    const Case kCases[] = {
        {"the first write takes part of the chunk", 1, 100, 100},
        {"the first write takes nothing", 1, 0, 0},
        {"the last write takes nothing of its single byte", 2, 0, kMiB},
    };
    for (const Case& test : kCases) {
        standin::ScopedControls controls;
        standin::LimitNthTransfer(standin::Operation::WriteFile, test.nth, test.limit);
        EXPECT_EQ(ExtractionErrorCode(
                      [&] { package.reader->ExtractInstaller(dir.WindowsFile("copy.exe")); }),
                  ERROR_WRITE_FAULT)
            << test.what_it_proves;
        EXPECT_EQ(standin::OpenHandleCount(), 0u) << test.what_it_proves;
        EXPECT_EQ(test_support::ReadBytes(dir.File("copy.exe")), Prefix(installer, test.copied))
            << test.what_it_proves;
        std::filesystem::remove(dir.File("copy.exe"));
    }
}
#endif

}  // namespace
