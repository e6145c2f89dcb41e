// The fault sweep: the whole run on a version-2 package, made once to count
// every Windows operation call it makes, then once more for each of those
// calls with exactly that call failing. A table names every call site and
// what must follow when it fails: the exit status, the box the user sees,
// what remains in the temporary directory, and that no handle or system
// buffer is left open. A call the table does not name, or a row the run no
// longer reaches, fails the test, so a new call site cannot go unswept.
//
// The failure reporting (the error text and the boxes) runs only when
// something has failed; its own calls are swept on two failed runs, one
// with a system error and one with a format failure.
//
// Native only: the stand-in layer injects the faults.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TVK_LEAK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TVK_LEAK_CHECKS 1
#endif
#endif
#ifdef TVK_LEAK_CHECKS
#include <sanitizer/lsan_interface.h>
#endif

#include "launcher/run_sequence.h"
#include "platform/windows_error_text.h"
#include "standin/standin_controls.h"
#include "tests/support/synthetic_package.h"
#include "tests/support/temp_dir.h"

namespace {

using standin::Operation;
using test_support::Bytes;
using test_support::ScopedTempDir;

// The installer extraction's copy buffer. The test installer is padded to a
// little over five buffers, so the copy loop reads and writes six chunks
// whatever size this build gives the program (about 1.8 MB natively, 4.4 MB
// with the sanitizers).
constexpr std::size_t kCopyBuffer = 0x100000;
constexpr std::size_t kInstallerSize = 5 * kCopyBuffer + 0x1000;

// The user's arguments: split by CommandLineToArgvW, and the installer ends
// with exit code 0 whenever it runs.
constexpr wchar_t kArgumentText[] = L"exit=0 user";

// "{"product":"Demo","brand":"ACME"}" in base64.
const std::string kParamsBase64 = "eyJwcm9kdWN0IjoiRGVtbyIsImJyYW5kIjoiQUNNRSJ9";
const std::string kParamsJson = "{\"product\":\"Demo\",\"brand\":\"ACME\"}";

// What CoCreateGuid gives when it fails, whatever error is injected: the
// run reports the HRESULT as the code.
constexpr std::uint32_t kGuidFailure = 0x80004005;

constexpr char kMissingMz[] = "The file is not a valid executable: missing 'MZ' magic";
constexpr char kMissingPe[] = "The file is not a valid executable: missing 'PE' signature";
constexpr char kNoInstaller[] = "The installer data is missing";
constexpr char kNotTvk[] = "Not a TVK package";

// ---------------------------------------------------------------------------
// Expected outcomes

// A hand-over file in the temporary directory.
enum class Content {
    kAbsent,
    kWhole,  // the block's bytes (the decoded parameters)
    kEmpty,  // created, nothing written
    kZeros,  // the block's size, all zero: the block could not be read
};

// What a run leaves in the temporary directory.
struct Left {
    std::optional<std::size_t> copy;  // the installer copy's size; nullopt: no copy there
    Content params = Content::kAbsent;
    Content picture = Content::kAbsent;
    Content icon = Content::kAbsent;
    bool installer_ran = false;  // the installer's own record is there
};

enum class Shown {
    kNothing,       // no box
    kInjectedCode,  // MessageBoxW: the system's text for the injected code
    kSystemCode,    // MessageBoxW: the system's text for `code`
    kWideText,      // MessageBoxW: `message`
    kMessage,       // MessageBoxA: `message`
};

struct Expected {
    int status = 0;
    Shown shown = Shown::kNothing;
    std::uint32_t code = 0;
    const char* message = "";
    Left left;
    // The stand-in keeps a handle or block whose CloseHandle or LocalFree
    // failed: the run does not retry a release.
    std::size_t handles_kept = 0;
    std::size_t blocks_kept = 0;
};

// Run ends.
const Left kNothing{};
const Left kCopy{kInstallerSize};
const Left kCopyParams{kInstallerSize, Content::kWhole};
const Left kCopyParamsPicture{kInstallerSize, Content::kWhole, Content::kWhole};
// Step 10 failed: the copy is deleted as the CProcess goes.
const Left kNotStarted{std::nullopt, Content::kWhole, Content::kWhole, Content::kWhole, false};
const Left kStarted{std::nullopt, Content::kWhole, Content::kWhole, Content::kWhole, true};
const Left kComplete = kStarted;

Left PartialCopy(std::size_t bytes) {
    return Left{bytes};
}

Left CompleteWith(Content params, Content picture, Content icon) {
    return Left{std::nullopt, params, picture, icon, true};
}

Expected SystemFailure(const Left& left) {
    return {1, Shown::kInjectedCode, 0, "", left};
}

Expected GuidFailure(const Left& left) {
    return {1, Shown::kSystemCode, kGuidFailure, "", left};
}

Expected FormatFailure(const char* message, const Left& left) {
    return {1, Shown::kMessage, 0, message, left};
}

Expected Completes(const Left& left, std::size_t handles_kept = 0, std::size_t blocks_kept = 0) {
    return {0, Shown::kNothing, 0, "", left, handles_kept, blocks_kept};
}

// A run that goes on as if nothing had failed, but keeps the one handle
// whose close failed.
Expected CloseFailed() {
    return Completes(kComplete, 1);
}

// The copy's handle stays open for writing, so the installer copy cannot be
// started: Windows refuses to run a file that is open for writing
// (ERROR_SHARING_VIOLATION), and so does the stand-in. The CProcess still
// deletes the copy, which its handle lets others delete.
Expected CopyLeftOpen() {
    return {1, Shown::kSystemCode, 32, "", kNotStarted, 1};
}

struct Fault {
    Operation operation;
    unsigned call;
};

struct Row {
    Operation operation;
    unsigned call;     // 1-based, among the run's calls of the operation
    const char* site;  // the call site
    Expected expected;
};

// Every call the run makes, in the order it makes them.
const std::vector<Row>& CallSites() {
    using O = Operation;
    using C = Content;
    static const std::vector<Row> kRows = {
        // Step 2: the argument text split.
        {O::CommandLineToArgvW, 1, "CommandLineToArgvW #1: SplitCommandLine",
         SystemFailure(kNothing)},
        {O::LocalFree, 1, "LocalFree #1: SplitCommandLine releases the argument block",
         Completes(kComplete, 0, 1)},
        // Steps 4 and 5: the own path and the installer copy's path.
        {O::GetModuleFileNameW, 1, "GetModuleFileNameW #1: GetCurrentExecutablePath",
         SystemFailure(kNothing)},
        {O::GetTempPathW, 1, "GetTempPathW #1: the installer copy's folder",
         SystemFailure(kNothing)},
        {O::IsWow64Process, 1, "IsWow64Process #1: the installer copy's folder as it stands",
         Completes(kComplete)},
        {O::CoCreateGuid, 1, "CoCreateGuid #1: the installer copy's unique name",
         GuidFailure(kNothing)},
        // Step 6: PeReader construction. A header stream that cannot be
        // opened, moved or read is rejected by the check that follows.
        {O::CreateFileW, 1, "CreateFileW #1: PeReader's header stream",
         FormatFailure(kMissingMz, kNothing)},
        {O::ReadFile, 1, "ReadFile #1: the DOS header", FormatFailure(kMissingMz, kNothing)},
        {O::SetFilePointer, 1, "SetFilePointer #1: to the NT headers",
         FormatFailure(kMissingPe, kNothing)},
        {O::ReadFile, 2, "ReadFile #2: the NT headers", FormatFailure(kMissingPe, kNothing)},
        {O::CreateFileW, 2, "CreateFileW #2: the size query's handle", SystemFailure(kNothing)},
        {O::GetFileSizeEx, 1, "GetFileSizeEx #1: the size query", SystemFailure(kNothing)},
        {O::CloseHandle, 1, "CloseHandle #1: the size query's handle", CloseFailed()},
        {O::ReadFile, 3, "ReadFile #3: the section table", FormatFailure(kNoInstaller, kNothing)},
        {O::CloseHandle, 2, "CloseHandle #2: the header stream", CloseFailed()},
        // Step 7: ExtractInstaller, six chunks.
        {O::CreateFileW, 3, "CreateFileW #3: ExtractInstaller's source", SystemFailure(kNothing)},
        {O::CreateFileW, 4, "CreateFileW #4: ExtractInstaller's target, the installer copy",
         SystemFailure(kNothing)},
        {O::SetFilePointer, 2, "SetFilePointer #2: to the installer image",
         SystemFailure(PartialCopy(0))},
        {O::ReadFile, 4, "ReadFile #4: the image's first chunk", SystemFailure(PartialCopy(0))},
        {O::WriteFile, 1, "WriteFile #1: the copy's first chunk", SystemFailure(PartialCopy(0))},
        {O::ReadFile, 5, "ReadFile #5: the image's second chunk",
         SystemFailure(PartialCopy(kCopyBuffer))},
        {O::WriteFile, 2, "WriteFile #2: the copy's second chunk",
         SystemFailure(PartialCopy(kCopyBuffer))},
        {O::ReadFile, 6, "ReadFile #6: the image's third chunk",
         SystemFailure(PartialCopy(2 * kCopyBuffer))},
        {O::WriteFile, 3, "WriteFile #3: the copy's third chunk",
         SystemFailure(PartialCopy(2 * kCopyBuffer))},
        {O::ReadFile, 7, "ReadFile #7: the image's fourth chunk",
         SystemFailure(PartialCopy(3 * kCopyBuffer))},
        {O::WriteFile, 4, "WriteFile #4: the copy's fourth chunk",
         SystemFailure(PartialCopy(3 * kCopyBuffer))},
        {O::ReadFile, 8, "ReadFile #8: the image's fifth chunk",
         SystemFailure(PartialCopy(4 * kCopyBuffer))},
        {O::WriteFile, 5, "WriteFile #5: the copy's fifth chunk",
         SystemFailure(PartialCopy(4 * kCopyBuffer))},
        {O::ReadFile, 9, "ReadFile #9: the image's last chunk",
         SystemFailure(PartialCopy(5 * kCopyBuffer))},
        {O::WriteFile, 6, "WriteFile #6: the copy's last chunk",
         SystemFailure(PartialCopy(5 * kCopyBuffer))},
        {O::CloseHandle, 3, "CloseHandle #3: the installer copy", CopyLeftOpen()},
        {O::CloseHandle, 4, "CloseHandle #4: ExtractInstaller's source", CloseFailed()},
        // Step 8: the parameters file. The trailer's reads are rejected as
        // no package; the block's read gives an empty text, written as an
        // empty file; a file that cannot be written is not reported.
        {O::GetTempPathW, 2, "GetTempPathW #2: the parameters file's folder", SystemFailure(kCopy)},
        {O::IsWow64Process, 2, "IsWow64Process #2: the parameters file's folder as it stands",
         Completes(kComplete)},
        {O::CoCreateGuid, 2, "CoCreateGuid #2: the parameters file's unique name",
         GuidFailure(kCopy)},
        {O::CreateFileW, 5, "CreateFileW #5: ReadData opens the package",
         FormatFailure(kNotTvk, kCopy)},
        {O::SetFilePointer, 3, "SetFilePointer #3: ReadData to the trailer",
         FormatFailure(kNotTvk, kCopy)},
        {O::ReadFile, 10, "ReadFile #10: ReadData's trailer", FormatFailure(kNotTvk, kCopy)},
        {O::SetFilePointer, 4, "SetFilePointer #4: to the parameters block",
         Completes(CompleteWith(C::kEmpty, C::kWhole, C::kWhole))},
        {O::ReadFile, 11, "ReadFile #11: the parameters block",
         Completes(CompleteWith(C::kEmpty, C::kWhole, C::kWhole))},
        {O::CloseHandle, 5, "CloseHandle #5: ReadData's package handle", CloseFailed()},
        {O::CreateFileW, 6, "CreateFileW #6: the parameters file",
         Completes(CompleteWith(C::kAbsent, C::kWhole, C::kWhole))},
        {O::WriteFile, 7, "WriteFile #7: the parameters file",
         Completes(CompleteWith(C::kEmpty, C::kWhole, C::kWhole))},
        {O::CloseHandle, 6, "CloseHandle #6: the parameters file", CloseFailed()},
        // Step 8: the picture file. A block that cannot be read is written
        // as zeros of its size.
        {O::GetTempPathW, 3, "GetTempPathW #3: the picture file's folder",
         SystemFailure(kCopyParams)},
        {O::IsWow64Process, 3, "IsWow64Process #3: the picture file's folder as it stands",
         Completes(kComplete)},
        {O::CoCreateGuid, 3, "CoCreateGuid #3: the picture file's unique name",
         GuidFailure(kCopyParams)},
        {O::CreateFileW, 7, "CreateFileW #7: ExtractPicture opens the package",
         FormatFailure(kNotTvk, kCopyParams)},
        {O::SetFilePointer, 5, "SetFilePointer #5: ExtractPicture to the trailer",
         FormatFailure(kNotTvk, kCopyParams)},
        {O::ReadFile, 12, "ReadFile #12: ExtractPicture's trailer",
         FormatFailure(kNotTvk, kCopyParams)},
        {O::SetFilePointer, 6, "SetFilePointer #6: to the picture block",
         Completes(CompleteWith(C::kWhole, C::kZeros, C::kWhole))},
        {O::ReadFile, 13, "ReadFile #13: the picture block",
         Completes(CompleteWith(C::kWhole, C::kZeros, C::kWhole))},
        {O::CloseHandle, 7, "CloseHandle #7: ExtractPicture's package handle", CloseFailed()},
        {O::CreateFileW, 8, "CreateFileW #8: the picture file",
         Completes(CompleteWith(C::kWhole, C::kAbsent, C::kWhole))},
        {O::WriteFile, 8, "WriteFile #8: the picture file",
         Completes(CompleteWith(C::kWhole, C::kEmpty, C::kWhole))},
        {O::CloseHandle, 8, "CloseHandle #8: the picture file", CloseFailed()},
        // Step 8: the icon file, the same way.
        {O::GetTempPathW, 4, "GetTempPathW #4: the icon file's folder",
         SystemFailure(kCopyParamsPicture)},
        {O::IsWow64Process, 4, "IsWow64Process #4: the icon file's folder as it stands",
         Completes(kComplete)},
        {O::CoCreateGuid, 4, "CoCreateGuid #4: the icon file's unique name",
         GuidFailure(kCopyParamsPicture)},
        {O::CreateFileW, 9, "CreateFileW #9: ExtractIco opens the package",
         FormatFailure(kNotTvk, kCopyParamsPicture)},
        {O::SetFilePointer, 7, "SetFilePointer #7: ExtractIco to the trailer",
         FormatFailure(kNotTvk, kCopyParamsPicture)},
        {O::ReadFile, 14, "ReadFile #14: ExtractIco's trailer",
         FormatFailure(kNotTvk, kCopyParamsPicture)},
        {O::SetFilePointer, 8, "SetFilePointer #8: to the icon block",
         Completes(CompleteWith(C::kWhole, C::kWhole, C::kZeros))},
        {O::ReadFile, 15, "ReadFile #15: the icon block",
         Completes(CompleteWith(C::kWhole, C::kWhole, C::kZeros))},
        {O::CloseHandle, 9, "CloseHandle #9: ExtractIco's package handle", CloseFailed()},
        {O::CreateFileW, 10, "CreateFileW #10: the icon file",
         Completes(CompleteWith(C::kWhole, C::kWhole, C::kAbsent))},
        {O::WriteFile, 9, "WriteFile #9: the icon file",
         Completes(CompleteWith(C::kWhole, C::kWhole, C::kEmpty))},
        {O::CloseHandle, 10, "CloseHandle #10: the icon file", CloseFailed()},
        // Steps 10 and 11: the installer process and the copy's deletion.
        {O::CreateProcessW, 1, "CreateProcessW #1: CProcess::Run starts the installer",
         SystemFailure(kNotStarted)},
        {O::WaitForSingleObject, 1, "WaitForSingleObject #1: CProcess::Run waits",
         SystemFailure(kStarted)},
        {O::GetExitCodeProcess, 1, "GetExitCodeProcess #1: the installer's exit code",
         SystemFailure(kStarted)},
        {O::CloseHandle, 11, "CloseHandle #11: the installer's thread handle", CloseFailed()},
        {O::CloseHandle, 12, "CloseHandle #12: the installer's process handle", CloseFailed()},
        {O::DeleteFileW, 1, "DeleteFileW #1: CProcess deletes the installer copy",
         Completes({kInstallerSize, C::kWhole, C::kWhole, C::kWhole, true})},
    };
    return kRows;
}

// The failure reporting's own calls, on a failed run: (the fault that ends
// the run, then the reporting call that fails as well).
struct ReportingRow {
    Fault first;
    std::uint32_t first_code;
    Operation operation;
    unsigned call;  // among all the run's calls of the operation
    const char* site;
    Expected expected;
};

// The installer cannot be started: a system error whose code has a text.
constexpr Fault kStartFails = {Operation::CreateProcessW, 1};
constexpr std::uint32_t kStartError = 2;  // ERROR_FILE_NOT_FOUND
// The trailer cannot be read: a format failure.
constexpr Fault kTrailerFails = {Operation::ReadFile, 10};
constexpr std::uint32_t kTrailerError = 0xE0000001;

const std::vector<ReportingRow>& ReportingSites() {
    using O = Operation;
    static const std::vector<ReportingRow> kRows = {
        {kStartFails,
         kStartError,
         O::FormatMessageW,
         1,
         "FormatMessageW #1: GetWindowsErrorText asks for the system's text",
         {1, Shown::kWideText, 0, "Windows error 0x2", kNotStarted}},
        {kStartFails,
         kStartError,
         O::LocalFree,
         2,
         "LocalFree #2: GetWindowsErrorText releases the system's text",
         {1, Shown::kSystemCode, kStartError, "", kNotStarted, 0, 1}},
        {kStartFails,
         kStartError,
         O::MessageBoxW,
         1,
         "MessageBoxW #1: the system error's box",
         {1, Shown::kNothing, 0, "", kNotStarted}},
        {kTrailerFails,
         kTrailerError,
         O::MessageBoxA,
         1,
         "MessageBoxA #1: the format failure's box",
         {1, Shown::kNothing, 0, "", kCopy}},
    };
    return kRows;
}

// ---------------------------------------------------------------------------
// Running and observing

using CallCounts = std::array<unsigned, standin::kOperationCount>;

struct Observed {
    int status = -1;
    CallCounts calls{};
    std::vector<standin::MessageBoxRecord> boxes;
    std::size_t handles_kept = 0;
    std::size_t blocks_kept = 0;
};

// A distinctive code per call site: the operation and the call's index.
std::uint32_t InjectedCode(Operation operation, unsigned call) {
    return 0xE0000000u | (static_cast<std::uint32_t>(operation) << 8) | call;
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::string Describe(Operation operation, unsigned call) {
    return std::string(standin::OperationName(operation)) + " #" + std::to_string(call);
}

// A LocalAlloc block whose LocalFree failed stays allocated for good: the
// run does not retry a release. The leak checker ignores what such a run
// allocates; the block count checks it instead.
class KeptBlocksAreNoLeak {
  public:
    explicit KeptBlocksAreNoLeak(bool active) : active_(active) {
#ifdef TVK_LEAK_CHECKS
        if (active_) {
            __lsan_disable();
        }
#endif
    }
    ~KeptBlocksAreNoLeak() {
#ifdef TVK_LEAK_CHECKS
        if (active_) {
            __lsan_enable();
        }
#endif
    }
    KeptBlocksAreNoLeak(const KeptBlocksAreNoLeak&) = delete;
    KeptBlocksAreNoLeak& operator=(const KeptBlocksAreNoLeak&) = delete;

  private:
    bool active_;
};

class FaultSweepTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test_support::SyntheticPackage package;
        installer_ = test_support::ReadBytes(TVK_TEST_INSTALLER);
        ASSERT_LE(installer_.size(), kInstallerSize) << "the test installer outgrew its padding";
        installer_.resize(kInstallerSize, 0);  // bytes behind the program are not run
        package.installer = installer_;
        package.version = 2;
        package.params_text = kParamsBase64;
        package.icon = test_support::PatternBytes(1000, 31);
        package.picture = test_support::PatternBytes(2000, 32);
        icon_ = package.icon;
        picture_ = package.picture;
        test_support::WriteBytes(packages_.File("setup.exe"), package.Build());
        package_path_ = packages_.WindowsFile("setup.exe");
    }

    void TearDown() override { standin::ResetControls(); }

    // One whole run as the product makes it (its own path from
    // GetModuleFileNameW), with the given calls failing.
    Observed Run(const ScopedTempDir& temp,
                 const std::vector<std::pair<Fault, std::uint32_t>>& faults,
                 bool keeps_blocks = false) {
        const KeptBlocksAreNoLeak kept(keeps_blocks);
        standin::ResetControls();
        standin::SetTempPath(temp.WindowsFolder());
        standin::SetModuleFileName(package_path_);
        for (const auto& [fault, code] : faults) {
            standin::FailNthCall(fault.operation, fault.call, code);
        }
        const std::size_t handles = standin::OpenHandleCount();
        const std::size_t blocks = standin::OpenLocalAllocationCount();
        Observed observed;
        observed.status = RunSequence(kArgumentText);
        for (std::size_t i = 0; i < standin::kOperationCount; ++i) {
            observed.calls[i] = standin::CallCount(static_cast<Operation>(i));
        }
        observed.boxes = standin::MessageBoxes();
        observed.handles_kept = standin::OpenHandleCount() - handles;
        observed.blocks_kept = standin::OpenLocalAllocationCount() - blocks;
        standin::ResetControls();
        return observed;
    }

    // Checks one run's outcome against its row; injected is the code the
    // failing call gave.
    void Check(const std::string& site, const Expected& expected, const Observed& observed,
               std::uint32_t injected, const ScopedTempDir& temp) {
        SCOPED_TRACE(site);
        EXPECT_EQ(observed.status, expected.status);
        CheckBox(expected, observed, injected);
        EXPECT_EQ(observed.handles_kept, expected.handles_kept) << "handles left open";
        EXPECT_EQ(observed.blocks_kept, expected.blocks_kept) << "LocalAlloc blocks left open";
        CheckLeft(expected.left, temp);
    }

    void CheckBox(const Expected& expected, const Observed& observed, std::uint32_t injected) {
        if (expected.shown == Shown::kNothing) {
            EXPECT_TRUE(observed.boxes.empty()) << "a box was shown";
            return;
        }
        ASSERT_EQ(observed.boxes.size(), 1u);
        const standin::MessageBoxRecord& box = observed.boxes[0];
        EXPECT_FALSE(box.has_owner);
        EXPECT_EQ(box.caption, L"Error while running installer");
        EXPECT_EQ(box.type, 0x10u);
        EXPECT_EQ(box.wide, expected.shown != Shown::kMessage) << "MessageBoxW or MessageBoxA";
        switch (expected.shown) {
            case Shown::kInjectedCode:
                EXPECT_EQ(box.text, GetWindowsErrorText(injected));
                break;
            case Shown::kSystemCode:
                EXPECT_EQ(box.text, GetWindowsErrorText(expected.code));
                break;
            case Shown::kWideText:
            case Shown::kMessage:
                EXPECT_EQ(box.text, Widen(expected.message));
                break;
            case Shown::kNothing:
                break;
        }
    }

    void CheckLeft(const Left& expected, const ScopedTempDir& temp) {
        // An installer whose wait failed may still be writing its record.
        if (expected.installer_ran) {
            WaitForRecord(temp);
        }
        std::optional<std::filesystem::path> copy, record, params, picture, icon;
        for (const std::string& name : temp.Names()) {
            std::optional<std::filesystem::path>* slot = nullptr;
            if (name.starts_with("setup_") && name.ends_with(".exe")) {
                slot = &copy;
            } else if (name.starts_with("setup_") && name.ends_with(".exe.cmdline")) {
                slot = &record;
            } else if (name.starts_with("InstallerParams_") && name.ends_with(".json")) {
                slot = &params;
            } else if (name.starts_with("picture_") && name.ends_with(".bmp")) {
                slot = &picture;
            } else if (name.starts_with("ico_") && name.ends_with(".ico")) {
                slot = &icon;
            }
            ASSERT_NE(slot, nullptr) << "unexpected file " << name;
            ASSERT_FALSE(slot->has_value()) << "a second file like " << name;
            *slot = temp.File(name);
        }

        EXPECT_EQ(copy.has_value(), expected.copy.has_value()) << "the installer copy";
        if (copy && expected.copy) {
            const Bytes bytes = test_support::ReadBytes(*copy);
            EXPECT_EQ(bytes.size(), *expected.copy) << "the installer copy's size";
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), installer_.begin()))
                << "the installer copy is no prefix of the image";
        }
        EXPECT_EQ(record.has_value(), expected.installer_ran) << "the installer's record";
        const Bytes json(kParamsJson.begin(), kParamsJson.end());
        CheckContent("the parameters file", params, expected.params, json);
        CheckContent("the picture file", picture, expected.picture, picture_);
        CheckContent("the icon file", icon, expected.icon, icon_);
    }

    static void CheckContent(const char* what, const std::optional<std::filesystem::path>& file,
                             Content expected, const Bytes& whole) {
        ASSERT_EQ(file.has_value(), expected != Content::kAbsent) << what;
        if (!file) {
            return;
        }
        const Bytes bytes = test_support::ReadBytes(*file);
        switch (expected) {
            case Content::kWhole:
                EXPECT_EQ(bytes, whole) << what;
                break;
            case Content::kEmpty:
                EXPECT_TRUE(bytes.empty()) << what;
                break;
            case Content::kZeros:
                EXPECT_EQ(bytes, Bytes(whole.size(), 0)) << what;
                break;
            case Content::kAbsent:
                break;
        }
    }

    static void WaitForRecord(const ScopedTempDir& temp) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const std::string& name : temp.Names()) {
                if (name.ends_with(".cmdline")) {
                    // Written and closed before the installer exits; give
                    // it the moment to finish.
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    Bytes installer_, icon_, picture_;
    ScopedTempDir packages_;
    std::wstring package_path_;
};

// Every call the table names, by operation.
std::map<Operation, std::set<unsigned>> Named(const std::vector<Row>& rows) {
    std::map<Operation, std::set<unsigned>> named;
    for (const Row& row : rows) {
        EXPECT_TRUE(named[row.operation].insert(row.call).second)
            << Describe(row.operation, row.call) << " is named twice";
    }
    return named;
}

// Compares the calls a run made (beyond those of base) with the calls named.
void ExpectCovered(const CallCounts& calls, const CallCounts& base,
                   std::map<Operation, std::set<unsigned>> named, const std::string& run) {
    for (std::size_t i = 0; i < standin::kOperationCount; ++i) {
        const auto operation = static_cast<Operation>(i);
        std::set<unsigned> made;
        for (unsigned call = base[i] + 1; call <= calls[i]; ++call) {
            made.insert(call);
        }
        for (unsigned call : made) {
            EXPECT_TRUE(named[operation].contains(call))
                << run << " makes " << Describe(operation, call) << ", which no row names";
        }
        for (unsigned call : named[operation]) {
            EXPECT_TRUE(made.contains(call))
                << run << " no longer makes " << Describe(operation, call);
        }
    }
}

TEST_F(FaultSweepTest, EveryCallOfTheRunFailsTheWayItsSiteRequires) {
    ScopedTempDir clean_temp;
    const Observed clean = Run(clean_temp, {});
    ASSERT_EQ(clean.status, 0);
    Check("the run without faults", Completes(kComplete), clean, 0, clean_temp);

    ExpectCovered(clean.calls, CallCounts{}, Named(CallSites()), "the run");

    for (const Row& row : CallSites()) {
        const std::uint32_t code = InjectedCode(row.operation, row.call);
        ScopedTempDir temp;
        const Observed observed =
            Run(temp, {{{row.operation, row.call}, code}}, row.expected.blocks_kept > 0);
        Check(row.site, row.expected, observed, code, temp);
    }
}

TEST_F(FaultSweepTest, TheFailureReportingCopesWithItsOwnCallsFailing) {
    ScopedTempDir clean_temp;
    const Observed clean = Run(clean_temp, {});
    ASSERT_EQ(clean.status, 0);

    // The reporting's calls on each failed run, counted beyond the clean
    // run's own calls, are those the table names.
    struct FailedRun {
        Fault first;
        std::uint32_t code;
        std::vector<Row> rows;
    };
    std::map<std::pair<Operation, unsigned>, FailedRun> failed_runs;
    for (const ReportingRow& row : ReportingSites()) {
        FailedRun& run = failed_runs[{row.first.operation, row.first.call}];
        run.first = row.first;
        run.code = row.first_code;
        run.rows.push_back({row.operation, row.call, row.site, row.expected});
    }
    for (const auto& [key, run] : failed_runs) {
        const std::string name =
            "the run failing at " + Describe(run.first.operation, run.first.call);
        ScopedTempDir temp;
        const Observed failed = Run(temp, {{run.first, run.code}});
        ASSERT_EQ(failed.status, 1) << name;
        // Only the reporting operations are compared: the rest of a failed
        // run makes fewer calls than the clean one.
        CallCounts reporting{};
        CallCounts base{};
        for (const Operation operation : {Operation::FormatMessageW, Operation::LocalFree,
                                          Operation::MessageBoxW, Operation::MessageBoxA}) {
            const auto i = static_cast<std::size_t>(operation);
            reporting[i] = failed.calls[i];
            base[i] = clean.calls[i];
        }
        ExpectCovered(reporting, base, Named(run.rows), name);
    }

    for (const ReportingRow& row : ReportingSites()) {
        ScopedTempDir temp;
        const Observed observed =
            Run(temp,
                {{row.first, row.first_code},
                 {{row.operation, row.call}, InjectedCode(row.operation, row.call)}},
                row.expected.blocks_kept > 0);
        Check(row.site, row.expected, observed, row.first_code, temp);
    }
}

}  // namespace

#endif  // _WIN32
