// The whole check through BCrypt and crypt32 on real files: tags that
// openssl signed at test time (tests/verify/make_signed_tags.sh), copied
// into a temporary folder and changed there as an attacker would; then a
// command line as the stub writes one, to the library and to the example
// installer.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/process.h"
#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"
#include "verify/tvk_verify.h"

namespace {

using test_support::Bytes;
using test_support::FixturePath;
using test_support::ReadBytes;
using test_support::ScopedTempDir;
using test_support::WriteBytes;

Bytes Fixture(const std::string& name) {
    return ReadBytes(FixturePath("signed_tags/" + name));
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The files a run hands over: params.json, icon.ico and picture.bmp in dir.
void CopyTag(const ScopedTempDir& dir, const std::string& params) {
    WriteBytes(dir.File("params.json"), Fixture(params));
    WriteBytes(dir.File("icon.ico"), Fixture("icon.ico"));
    WriteBytes(dir.File("picture.bmp"), Fixture("picture.bmp"));
}

void FlipByte(const std::filesystem::path& path, std::size_t offset) {
    Bytes bytes = ReadBytes(path);
    bytes.at(offset) ^= 0x01;
    WriteBytes(path, bytes);
}

struct FileCase {
    const char* what;
    const char* params;  // the fixture copied to params.json
    bool icon;           // icon.ico named
    bool picture;        // picture.bmp named
    const char* key;     // the fixture key the check uses
    std::function<void(const ScopedTempDir&)> change;
    tvk_tag_status status;
    tvk_check check;
};

TEST(VerifyFiles, AcceptsOnlyTheSignedTagAsItWasSigned) {
    const auto none = [](const ScopedTempDir&) {};
    const FileCase cases[] = {
        {"signed with icon and picture", "signed.json", true, true, "vendor.der", none,
         TVK_TAG_VALID, TVK_CHECK_NONE},
        {"signed without icon and picture", "signed_bare.json", false, false, "vendor.der", none,
         TVK_TAG_VALID, TVK_CHECK_NONE},
        {"not signed", "unsigned.json", true, true, "vendor.der", none, TVK_TAG_UNSIGNED,
         TVK_CHECK_NONE},
        {"one byte of the parameters changed", "signed.json", true, true, "vendor.der",
         [](const ScopedTempDir& dir) { FlipByte(dir.File("params.json"), 13); }, TVK_TAG_INVALID,
         TVK_CHECK_SIGNATURE},
        {"one byte of the picture changed", "signed.json", true, true, "vendor.der",
         [](const ScopedTempDir& dir) { FlipByte(dir.File("picture.bmp"), 100000); },
         TVK_TAG_INVALID, TVK_CHECK_SIGNATURE},
        {"the icon named but missing", "signed.json", true, true, "vendor.der",
         [](const ScopedTempDir& dir) { std::filesystem::remove(dir.File("icon.ico")); },
         TVK_TAG_INVALID, TVK_CHECK_ICON_FILE},
        {"the signed icon not named", "signed.json", false, true, "vendor.der", none,
         TVK_TAG_INVALID, TVK_CHECK_SIGNATURE},
        {"an icon named that was not signed", "signed_bare.json", true, false, "vendor.der", none,
         TVK_TAG_INVALID, TVK_CHECK_SIGNATURE},
        {"another vendor's key", "signed.json", true, true, "other.der", none, TVK_TAG_INVALID,
         TVK_CHECK_SIGNATURE},
        {"a 1024-bit key", "signed_small.json", true, true, "small.der", none, TVK_TAG_INVALID,
         TVK_CHECK_KEY},
        {"a key that is no DER", "signed.json", true, true, "icon.ico", none, TVK_TAG_INVALID,
         TVK_CHECK_KEY},
        {"the signature three bytes short", "signed.json", true, true, "vendor.der",
         [](const ScopedTempDir& dir) {
             // One group of four characters less at its start.
             std::string text = Text(ReadBytes(dir.File("params.json")));
             text.erase(text.find(R"("tvk_sig":")") + 11, 4);
             WriteBytes(dir.File("params.json"), Bytes(text.begin(), text.end()));
         },
         TVK_TAG_INVALID, TVK_CHECK_SIG_LENGTH},
        {"a picture larger than a package can carry", "signed.json", true, true, "vendor.der",
         [](const ScopedTempDir& dir) {
             WriteBytes(dir.File("picture.bmp"), Bytes(TVK_IMAGE_FILE_LIMIT + 1));
         },
         TVK_TAG_INVALID, TVK_CHECK_PICTURE_FILE},
        {"no parameters file", "signed.json", true, true, "vendor.der",
         [](const ScopedTempDir& dir) { std::filesystem::remove(dir.File("params.json")); },
         TVK_TAG_INVALID, TVK_CHECK_PARAMS_FILE},
    };
    const std::string unsigned_text = Text(Fixture("unsigned.json"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ScopedTempDir dir;
        CopyTag(dir, c.params);
        c.change(dir);
        const Bytes key = Fixture(c.key);
        const std::wstring icon = dir.WindowsFile("icon.ico");
        const std::wstring picture = dir.WindowsFile("picture.bmp");
        tvk_tag tag;
        EXPECT_EQ(tvk_verify_files(
                      dir.WindowsFile("params.json").c_str(), c.icon ? icon.c_str() : nullptr,
                      c.picture ? picture.c_str() : nullptr, key.data(), key.size(), &tag),
                  c.status);
        EXPECT_EQ(tag.status, c.status);
        EXPECT_EQ(tag.failed_check, c.check) << tvk_check_name(tag.failed_check);
        if (c.status == TVK_TAG_INVALID) {
            EXPECT_EQ(tag.params, nullptr);
        } else {
            ASSERT_NE(tag.params, nullptr);
            EXPECT_EQ(std::string(tag.params, tag.params_size), unsigned_text);
            EXPECT_EQ(tag.params[tag.params_size], '\0');
        }
        tvk_tag_release(&tag);
    }
}

TEST(VerifyCommandLine, ChecksTheFilesTheStubsArgumentsName) {
    const ScopedTempDir dir;
    const std::filesystem::path folder = dir.File("a folder");
    std::filesystem::create_directory(folder);
    WriteBytes(folder / "params.json", Fixture("signed.json"));
    WriteBytes(folder / "icon.ico", Fixture("icon.ico"));
    WriteBytes(folder / "picture.bmp", Fixture("picture.bmp"));
    const std::wstring windows_folder = test_support::ToWindowsPath(folder) + L"\\";
    const std::wstring command_line =
        L"\"C:\\setup_x.exe\" /pi=\"" + windows_folder + L"params.json\" /pic=\"" + windows_folder +
        L"picture.bmp\" /ico=\"" + windows_folder + L"icon.ico\" --user \"a b\"";
    const Bytes key = Fixture("vendor.der");
    tvk_tag tag;
    EXPECT_EQ(tvk_verify_command_line(command_line.c_str(), key.data(), key.size(), &tag),
              TVK_TAG_VALID)
        << tvk_check_name(tag.failed_check);
    EXPECT_EQ(std::wstring(tag.icon_path), windows_folder + L"icon.ico");
    EXPECT_EQ(std::wstring(tag.picture_path), windows_folder + L"picture.bmp");
    tvk_tag_release(&tag);
    EXPECT_EQ(tag.icon_path, nullptr);

    EXPECT_EQ(tvk_verify_command_line(L"setup.exe /S", key.data(), key.size(), &tag),
              TVK_TAG_INVALID);
    EXPECT_EQ(tag.failed_check, TVK_CHECK_PARAMS_ARGUMENT);
    tvk_tag_release(&tag);
}

struct InstallerCase {
    const char* what;
    const char* params;
    std::function<void(const ScopedTempDir&)> change;
    std::string result;  // what the result file holds
    std::uint32_t exit_code;
};

// Runs a copy of the example installer with the command line the stub would
// give it and returns its exit code.
std::uint32_t RunInstaller(const ScopedTempDir& dir, const std::wstring& arguments) {
    std::filesystem::copy_file(TVK_VERIFY_INSTALLER, dir.File("installer.exe"));
    CProcess installer(dir.WindowsFile("installer.exe"));
    return installer.Run(arguments);
}

TEST(VerifyInstaller, SaysWhatItFoundAndUsesTheTextWithoutTheMember) {
    const std::string unsigned_text = Text(Fixture("unsigned.json"));
    const auto none = [](const ScopedTempDir&) {};
    const InstallerCase cases[] = {
        {"signed", "signed.json", none, "valid\n" + unsigned_text, 0},
        {"not signed", "unsigned.json", none, "unsigned\n" + unsigned_text, 1},
        {"changed", "signed.json",
         [](const ScopedTempDir& dir) { FlipByte(dir.File("params.json"), 13); },
         "invalid: signature\n", 2},
        {"without its icon", "signed.json",
         [](const ScopedTempDir& dir) { std::filesystem::remove(dir.File("icon.ico")); },
         "invalid: icon_file\n", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ScopedTempDir dir;
        CopyTag(dir, c.params);
        c.change(dir);
        const std::uint32_t exit_code = RunInstaller(
            dir, L"/pi=\"" + dir.WindowsFile("params.json") + L"\" /pic=\"" +
                     dir.WindowsFile("picture.bmp") + L"\" /ico=\"" + dir.WindowsFile("icon.ico") +
                     L"\" \"--result-file=" + dir.WindowsFile("result.txt") + L"\" /S");
        EXPECT_EQ(exit_code, c.exit_code);
        EXPECT_EQ(Text(ReadBytes(dir.File("result.txt"))), c.result);
    }
}

}  // namespace
