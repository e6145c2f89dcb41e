// The whole run, end to end inside the test program: a package on disk
// whose installer is the real test installer, a temporary directory of the
// test's own, and the real installer process. Natively the stand-in records
// the message boxes; under Wine there is no display, so a box returns at
// once and only the exit status and the files are checked.
#include "launcher/run_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "package/base64.h"
#include "platform/windows_api.h"
#include "platform/windows_error_text.h"
#include "tests/support/fixtures.h"
#include "tests/support/package_images.h"
#include "tests/support/synthetic_package.h"
#include "tools/package_writer/package_writer.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

using test_support::Bytes;
using test_support::ScopedTempDir;
using test_support::SyntheticPackage;

// A 36-character GUID text as the stub writes it.
const std::wstring kGuid = L"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}";
// "{"product":"Demo","brand":"ACME"}" in base64.
const std::string kParamsBase64 = "eyJwcm9kdWN0IjoiRGVtbyIsImJyYW5kIjoiQUNNRSJ9";
const std::string kParamsJson = "{\"product\":\"Demo\",\"brand\":\"ACME\"}";

struct Box {
    bool wide;
    std::wstring text;
};

struct Outcome {
    int status = -1;
    std::wstring command_line;            // what the installer received; empty if it never ran
    std::vector<std::string> temp_files;  // what the run left in the temporary directory
    std::vector<Box> boxes;               // natively only
};

std::wstring Escape(const std::wstring& text) {
    static const std::wregex kSpecial(LR"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, kSpecial, LR"(\$&)");
}

std::wstring FromUtf16Le(const Bytes& bytes) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return text;
}

// A file name beyond ASCII as the host names it (UTF-8 on the stand-in).
std::filesystem::path HostName(const std::wstring& name) {
#ifdef _WIN32
    return std::filesystem::path(name);
#else
    std::u8string utf8;
    for (const wchar_t c : name) {
        const auto code = static_cast<std::uint32_t>(c);
        if (code < 0x80) {
            utf8 += static_cast<char8_t>(code);
        } else if (code < 0x800) {
            utf8 += static_cast<char8_t>(0xC0 | (code >> 6));
            utf8 += static_cast<char8_t>(0x80 | (code & 0x3F));
        } else {
            utf8 += static_cast<char8_t>(0xE0 | (code >> 12));
            utf8 += static_cast<char8_t>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char8_t>(0x80 | (code & 0x3F));
        }
    }
    return std::filesystem::path(utf8);
#endif
}

Bytes InstallerImage() {
    return test_support::ReadBytes(TVK_TEST_INSTALLER);
}

SyntheticPackage Version1Package() {
    SyntheticPackage package;
    package.installer = InstallerImage();
    package.params_text = kParamsBase64;
    return package;
}

class RunSequenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        // Windows takes the temporary directory from TMP.
        SetEnvironmentVariableW(L"TMP", test_support::ToWindowsPath(temp_->path()).c_str());
#else
        standin::ResetControls();
        standin::SetTempPath(temp_->WindowsFolder());
#endif
    }

    void TearDown() override {
#ifdef _WIN32
        RestoreTmp();
#else
        standin::ResetControls();
#endif
    }

#ifdef _WIN32
    // Test folders are made under the temporary directory, so TMP must be
    // the original one whenever a new folder is made.
    void RestoreTmp() {
        SetEnvironmentVariableW(L"TMP", original_tmp_.empty() ? nullptr : original_tmp_.c_str());
    }

    static std::wstring CurrentTmp() {
        wchar_t value[32768];
        const DWORD length = GetEnvironmentVariableW(L"TMP", value, 32768);
        return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
    }

    std::wstring original_tmp_ = CurrentTmp();
#endif

    Outcome Run(const SyntheticPackage& package, const std::wstring& argument_text,
                const std::wstring& package_name = L"setup.exe") {
        return Run(package.Build(), argument_text, package_name);
    }

    Outcome Run(const Bytes& package, const std::wstring& argument_text,
                const std::wstring& package_name = L"setup.exe") {
        const std::filesystem::path file = packages_.path() / HostName(package_name);
        test_support::WriteBytes(file, package);
        const std::wstring package_path = test_support::ToWindowsPath(file);
        Outcome outcome;
        outcome.status = RunSequence(argument_text.c_str(), [&] { return package_path; });
        outcome.temp_files = temp_->Names();
        // By path, not by name: the installer copy's name may be beyond ASCII.
        for (const auto& entry : std::filesystem::directory_iterator(temp_->path())) {
            if (entry.path().extension() == ".cmdline") {
                outcome.command_line = FromUtf16Le(test_support::ReadBytes(entry.path()));
            }
        }
#ifndef _WIN32
        for (const auto& box : standin::MessageBoxes()) {
            EXPECT_FALSE(box.has_owner);
            EXPECT_EQ(box.caption, L"Error while running installer");
            EXPECT_EQ(box.type, 0x10u);
            outcome.boxes.push_back({box.wide, box.text});
        }
#endif
        return outcome;
    }

    // The temporary directory as the stub names it, for patterns.
    std::wstring TempFolderPattern() const {
        return Escape(temp_->WindowsFolder());
    }

    // The one file in the temporary directory whose name matches.
    Bytes TempFile(const std::string& prefix, const std::string& suffix) const {
        std::vector<std::string> found;
        for (const std::string& name : temp_->Names()) {
            if (name.starts_with(prefix) && name.ends_with(suffix)) {
                found.push_back(name);
            }
        }
        EXPECT_EQ(found.size(), 1u) << prefix << "*" << suffix;
        return found.empty() ? Bytes() : test_support::ReadBytes(temp_->File(found.front()));
    }

    // A new, empty temporary directory for the next run.
    void UseFreshTempDir() {
#ifdef _WIN32
        RestoreTmp();
#endif
        temp_ = std::make_unique<ScopedTempDir>();
        SetUp();
    }

    std::unique_ptr<ScopedTempDir> temp_ = std::make_unique<ScopedTempDir>();
    ScopedTempDir packages_;
};

TEST_F(RunSequenceTest, ExitStatusIsZeroOnlyWhenTheInstallerSucceeded) {
    struct Case {
        const wchar_t* arguments;
        int status;
    };
    const Case kCases[] = {{L"exit=0", 0}, {L"exit=1", 1}, {L"exit=3010", 1}, {L"", 0}};
    for (const Case& test : kCases) {
        const Outcome outcome = Run(Version1Package(), test.arguments);
        EXPECT_EQ(outcome.status, test.status) << test.arguments;
        EXPECT_TRUE(outcome.boxes.empty());
    }
}

TEST_F(RunSequenceTest, WithoutArgumentsTheInstallerGetsTheParametersPieceAlone) {
    const Outcome outcome = Run(Version1Package(), L"");
    EXPECT_EQ(outcome.status, 0);
    const std::wregex expected(L"\"" + TempFolderPattern() + L"setup_" + kGuid +
                               L"\\.exe\" /pi=\"" + TempFolderPattern() + L"InstallerParams_" +
                               kGuid + L"\\.json\" ");
    EXPECT_TRUE(std::regex_match(outcome.command_line, expected)) << outcome.command_line;
    const Bytes params = TempFile("InstallerParams_", ".json");
    EXPECT_EQ(std::string(params.begin(), params.end()), kParamsJson);
}

TEST_F(RunSequenceTest, TheInstallerCopyIsNamedAfterThePackageAndDeletedAfterwards) {
    const std::wstring kStems[] = {L"setup", L"My Setup 2.0", L"Install\u00e9r \u65e5\u672c"};
    for (const std::wstring& stem : kStems) {
        UseFreshTempDir();
        const Outcome outcome = Run(Version1Package(), L"exit=0", stem + L".exe");
        ASSERT_EQ(outcome.status, 0);
        const std::wregex copy(L"\"" + TempFolderPattern() + Escape(stem) + L"_" + kGuid +
                               L"\\.exe\" .*");
        EXPECT_TRUE(std::regex_match(outcome.command_line, copy)) << outcome.command_line;
        // Only the parameters file and the installer's own record remain.
        for (const std::string& left : outcome.temp_files) {
            EXPECT_TRUE(left.starts_with("InstallerParams_") || left.ends_with(".exe.cmdline"))
                << left;
        }
    }
}

TEST_F(RunSequenceTest, TheUsersArgumentTextFollowsThePrefixUnchanged) {
    const std::wstring kText = L"/S \"quoted arg\"  x\\\"y  /PI=upper exit=0";
    const Outcome outcome = Run(Version1Package(), kText);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(outcome.command_line.ends_with(L".json\" " + kText)) << outcome.command_line;
}

TEST_F(RunSequenceTest, Version2HandsOverParametersPictureAndIconInThatOrder) {
    SyntheticPackage package = Version1Package();
    package.version = 2;
    package.icon = test_support::PatternBytes(1000, 11);
    package.picture = test_support::PatternBytes(2000, 12);
    const Outcome outcome = Run(package, L"exit=0 user");
    EXPECT_EQ(outcome.status, 0);
    const std::wstring folder = TempFolderPattern();
    const std::wregex expected(L"\"" + folder + L"setup_" + kGuid + L"\\.exe\" /pi=\"" + folder +
                               L"InstallerParams_" + kGuid + L"\\.json\" /pic=\"" + folder +
                               L"picture_" + kGuid + L"\\.bmp\" /ico=\"" + folder + L"ico_" +
                               kGuid + L"\\.ico\" exit=0 user");
    EXPECT_TRUE(std::regex_match(outcome.command_line, expected)) << outcome.command_line;
    EXPECT_EQ(TempFile("picture_", ".bmp"), package.picture);
    EXPECT_EQ(TempFile("ico_", ".ico"), package.icon);
    const Bytes params = TempFile("InstallerParams_", ".json");
    EXPECT_EQ(std::string(params.begin(), params.end()), kParamsJson);
}

TEST_F(RunSequenceTest, RealSignedPackagesOfBothVersionsHandOverTheTaggedFiles) {
    // A package signed by osslsigncode whose installer is the test installer,
    // tagged once per version.
    const Bytes signed_image =
        test_support::ReadBytes(test_support::FixturePath("signed_runnable.exe"));
    for (const std::int32_t version : {1, 2}) {
        UseFreshTempDir();
        package_writer::TagOptions tag;
        tag.version = version;
        tag.params_base64 = kParamsBase64;
        if (version == 2) {
            tag.icon = test_support::PatternBytes(1000, 21);
            tag.picture = test_support::PatternBytes(2000, 22);
        }
        const Outcome outcome =
            Run(test_support::TagImage(signed_image, tag), L"exit=0 \"user text\"");
        EXPECT_EQ(outcome.status, 0) << "version " << version;
        const std::wstring folder = TempFolderPattern();
        std::wstring pieces = L"/pi=\"" + folder + L"InstallerParams_" + kGuid + L"\\.json\" ";
        if (version == 2) {
            pieces += L"/pic=\"" + folder + L"picture_" + kGuid + L"\\.bmp\" /ico=\"" + folder +
                      L"ico_" + kGuid + L"\\.ico\" ";
            EXPECT_EQ(TempFile("picture_", ".bmp"), tag.picture);
            EXPECT_EQ(TempFile("ico_", ".ico"), tag.icon);
        }
        const std::wregex expected(L"\"" + folder + L"setup_" + kGuid + L"\\.exe\" " + pieces +
                                   L"exit=0 \"user text\"");
        EXPECT_TRUE(std::regex_match(outcome.command_line, expected)) << outcome.command_line;
        const Bytes params = TempFile("InstallerParams_", ".json");
        EXPECT_EQ(std::string(params.begin(), params.end()), kParamsJson);
    }
}

TEST_F(RunSequenceTest, TheUsersOwnHandOverSwitchesReplaceTheStubsPieces) {
    struct Case {
        const char* what_it_proves;
        std::int32_t version;
        std::size_t icon_size, picture_size;
        std::wstring arguments;
        std::wstring pieces;               // the pieces the stub adds, in order
        std::vector<std::string> written;  // hand-over files in the temporary directory
    };
    const Case kCases[] = {
        {"the user's /pi= : the parameters file is still written, but not named",
         1,
         0,
         0,
         L"/pi=mine.json",
         L"",
         {"InstallerParams_"}},
        {"/PI= is no switch", 1, 0, 0, L"/PI=mine.json", L"/pi= ", {"InstallerParams_"}},
        {"the user's /pic= : no picture written",
         2,
         10,
         20,
         L"/pic=mine.bmp",
         L"/pi= /ico= ",
         {"InstallerParams_", "ico_"}},
        {"the user's /ico= : no icon written",
         2,
         10,
         20,
         L"/ico=mine.ico",
         L"/pi= /pic= ",
         {"InstallerParams_", "picture_"}},
        {"an empty picture is neither written nor named",
         2,
         10,
         0,
         L"",
         L"/pi= /ico= ",
         {"InstallerParams_", "ico_"}},
        {"an empty icon is neither written nor named",
         2,
         0,
         20,
         L"",
         L"/pi= /pic= ",
         {"InstallerParams_", "picture_"}},
        {"version 1 writes no picture or icon whatever the trailer says",
         1,
         10,
         20,
         L"",
         L"/pi= ",
         {"InstallerParams_"}},
        {"version 1 with /ico= changes nothing but the flag",
         1,
         0,
         0,
         L"/ico=x.ico",
         L"/pi= ",
         {"InstallerParams_"}},
    };
    for (const Case& test : kCases) {
        SyntheticPackage package = Version1Package();
        package.version = test.version;
        package.icon = test_support::PatternBytes(test.icon_size, 1);
        package.picture = test_support::PatternBytes(test.picture_size, 2);
        if (test.version == 1) {
            package.icon_size = static_cast<std::int32_t>(test.icon_size);
            package.picture_size = static_cast<std::int32_t>(test.picture_size);
        }
        UseFreshTempDir();
        const Outcome outcome = Run(package, test.arguments);
        EXPECT_EQ(outcome.status, 0) << test.what_it_proves;
        // The command line without the paths inside the quotes.
        const std::wstring after_program =
            outcome.command_line.substr(outcome.command_line.find(L"\" ") + 2);
        const std::wstring pieces =
            std::regex_replace(after_program, std::wregex(L"=\"[^\"]*\" "), L"= ");
        EXPECT_EQ(pieces, test.pieces + test.arguments) << test.what_it_proves;
        std::vector<std::string> written;
        for (const std::string& name : outcome.temp_files) {
            if (!name.ends_with(".cmdline")) {
                written.push_back(name.substr(0, name.find('_') + 1));
            }
        }
        std::sort(written.begin(), written.end());
        std::vector<std::string> expected = test.written;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(written, expected) << test.what_it_proves;
    }
}

TEST_F(RunSequenceTest, FailuresEndWithStatusOneAndLeaveWhatTheyLeave) {
    struct Case {
        const char* what_it_proves;
        SyntheticPackage package;
        std::wstring arguments;
        std::string message;            // the box's text; empty for a system error
        std::vector<std::string> left;  // name prefixes left in the temporary directory
    };
    SyntheticPackage unsigned_package = Version1Package();
    unsigned_package.signature_size = 0;
    unsigned_package.with_trailer = false;
    SyntheticPackage no_trailer = Version1Package();
    no_trailer.with_trailer = false;
    SyntheticPackage version3 = Version1Package();
    version3.version = 3;
    SyntheticPackage too_big = Version1Package();
    too_big.params_size = 0x1400001;
    const Case kCases[] = {
        {"an unsigned stub: nothing is written",
         unsigned_package,
         L"",
         "The file does not have a digital signature",
         {}},
        {"a package without a trailer leaves the installer copy",
         no_trailer,
         L"",
         "Not a TVK package",
         {"setup_"}},
        {"version 3 leaves the installer copy",
         version3,
         L"",
         "Unsupported TVK package version for ReadData",
         {"setup_"}},
        {"a too big parameters size leaves the installer copy",
         too_big,
         L"",
         "Package data too big",
         {"setup_"}},
    };
    for (const Case& test : kCases) {
        for (const bool silent : {false, true}) {
            UseFreshTempDir();
            const Outcome outcome = Run(test.package, silent ? L"/S" : L"");
            EXPECT_EQ(outcome.status, 1) << test.what_it_proves;
            EXPECT_TRUE(outcome.command_line.empty()) << test.what_it_proves;
            std::vector<std::string> left;
            for (const std::string& name : outcome.temp_files) {
                left.push_back(name.substr(0, name.find('_') + 1));
            }
            EXPECT_EQ(left, test.left) << test.what_it_proves;
#ifndef _WIN32
            if (silent) {
                EXPECT_TRUE(outcome.boxes.empty()) << test.what_it_proves;
            } else {
                ASSERT_EQ(outcome.boxes.size(), 1u) << test.what_it_proves;
                EXPECT_FALSE(outcome.boxes[0].wide) << "a format failure goes to MessageBoxA";
                EXPECT_EQ(outcome.boxes[0].text,
                          std::wstring(test.message.begin(), test.message.end()));
            }
#endif
        }
    }
}

TEST_F(RunSequenceTest, AnInstallerThatCannotStartShowsOnlyTheSystemText) {
    SyntheticPackage package = Version1Package();
    package.installer = test_support::PatternBytes(5000, 99);  // no program
    const Outcome outcome = Run(package, L"");
    EXPECT_EQ(outcome.status, 1);
    // The installer copy is deleted all the same; the parameters file stays.
    ASSERT_EQ(outcome.temp_files.size(), 1u);
    EXPECT_TRUE(outcome.temp_files[0].starts_with("InstallerParams_"));
#ifndef _WIN32
    ASSERT_EQ(outcome.boxes.size(), 1u);
    EXPECT_TRUE(outcome.boxes[0].wide) << "a system error goes to MessageBoxW";
    EXPECT_EQ(outcome.boxes[0].text, GetWindowsErrorText(193));
    EXPECT_EQ(outcome.boxes[0].text.find(L"Failed to start installer"), std::wstring::npos);
#endif
}

#ifndef _WIN32
TEST_F(RunSequenceTest, AFailureToSplitIsShownEvenWithTheSilentSwitch) {
    standin::FailNthCall(standin::Operation::CommandLineToArgvW, 1, 8);
    const Outcome outcome = Run(Version1Package(), L"/S");
    EXPECT_EQ(outcome.status, 1);
    ASSERT_EQ(outcome.boxes.size(), 1u);
    EXPECT_EQ(outcome.boxes[0].text, GetWindowsErrorText(8));
    EXPECT_TRUE(outcome.temp_files.empty());
}

TEST_F(RunSequenceTest, LeavesNoHandleOrSystemBufferOpen) {
    const std::size_t handles = standin::OpenHandleCount();
    const std::size_t blocks = standin::OpenLocalAllocationCount();
    SyntheticPackage package = Version1Package();
    package.version = 2;
    package.icon = test_support::PatternBytes(100, 1);
    package.picture = test_support::PatternBytes(200, 2);
    EXPECT_EQ(Run(package, L"exit=5").status, 1);
    EXPECT_EQ(standin::OpenHandleCount(), handles);
    EXPECT_EQ(standin::OpenLocalAllocationCount(), blocks);
}
#endif

}  // namespace
