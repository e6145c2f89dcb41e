// The packaging command on real artifacts: the fixtures' PE32 programs and
// packages signed by osslsigncode. Packages that tvkpack makes are run
// through the stub's own run sequence, and inspect is held to the stub's
// messages for each malformed package.
#include "tools/tvkpack/tvkpack_commands.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/run_sequence.h"
#include "package/base64.h"
#include "platform/windows_api.h"
#include "platform/windows_error_text.h"
#include "tests/support/fixtures.h"
#include "tests/support/package_deformations.h"
#include "tests/support/package_images.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tvkpack_images.h"
#include "tools/package_writer/archive_markers.h"
#include "tools/package_writer/package_writer.h"
#include "tools/packaging/base64_encode.h"
#include "tools/packaging/certificate_table.h"
#include "tools/packaging/stub_identity.h"
#include "tools/tag_writer/pe_checksum.h"
#include "tvk_version.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

namespace fs = std::filesystem;
using test_support::Bytes;
using test_support::FixturePath;
using test_support::ReadBytes;
using test_support::ScopedTempDir;
using test_support::TvkpackTag;
using test_support::TvkpackTagged;
using test_support::TvkpackUntag;
using test_support::WriteBytes;
using namespace packaging;
using namespace tvkpack;
using tag_writer::ComputePeChecksum;
using tag_writer::kChecksumOffset;
using tag_writer::StoredPeChecksum;

const std::string kParamsJson = "{\"product\":\"Demo\",\"brand\":\"ACME\"}";
const std::string kOtherParamsJson = "{\"product\":\"Other\",\"brand\":\"\\u00c9lan\",\"n\":[1,2]}";

Bytes AsBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A small but well-formed icon and bitmap as far as tvkpack looks at them.
Bytes IconBytes(std::size_t size = 300) {
    Bytes icon = test_support::PatternBytes(size, 31);
    icon[0] = 0, icon[1] = 0, icon[2] = 1, icon[3] = 0;
    return icon;
}
Bytes PictureBytes(std::size_t size = 700) {
    Bytes picture = test_support::PatternBytes(size, 32);
    picture[0] = 'B', picture[1] = 'M';
    return picture;
}

// Whether the image's certificate table carries a tag of either placement.
bool IsTagged(const Bytes& image) {
    const auto table = package_writer::ReadHeaders(image).security;
    return FindTableTag(Bytes(image.begin() + table.offset, image.end())) != TableTag::kNone;
}

std::size_t NtOffset(const Bytes& image) {
    return static_cast<std::size_t>(package_writer::ReadHeaders(image).nt_offset);
}

// The command in-process: exit status, standard output and error.
struct CommandRun {
    int status;
    std::string out;
    std::string err;
};
CommandRun Tvkpack(const std::vector<std::string>& arguments) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunTvkpack(arguments, out, err);
    return {status, out.str(), err.str()};
}

std::string Utf8(const fs::path& path) {
    return PathToUtf8(path);
}

// ---------------------------------------------------------------------------

TEST(Base64Encode, GivesTheStandardTextThatTheStubDecodesBack) {
    EXPECT_EQ(Base64Encode(AsBytes("")), "");
    EXPECT_EQ(Base64Encode(AsBytes("f")), "Zg==");
    EXPECT_EQ(Base64Encode(AsBytes("fo")), "Zm8=");
    EXPECT_EQ(Base64Encode(AsBytes("foo")), "Zm9v");
    EXPECT_EQ(Base64Encode(AsBytes("foobar")), "Zm9vYmFy");
    for (std::size_t size = 0; size < 70; ++size) {
        const Bytes bytes = test_support::PatternBytes(size, 5);
        const std::string text = Base64Encode(bytes);
        EXPECT_EQ(text.size(), Base64EncodedSize(size));
        EXPECT_EQ(Base64Decode(text), bytes) << size;
    }
}

TEST(CheckPackageSize, RefusesTwoGibibytesAndMore) {
    EXPECT_NO_THROW(CheckPackageSize(0x7FFFFFFF));
    EXPECT_THROW(CheckPackageSize(0x80000000), CommandError);
    EXPECT_THROW(CheckPackageSize(0x100000000), CommandError);
}

// ---------------------------------------------------------------------------

TEST(TvkpackEmbed, WritesTheImageThatIsSignedNextWithItsOwnChecksum) {
    ScopedTempDir dir;
    const CommandRun run =
        Tvkpack({"embed", Utf8(FixturePath("tiny_stub.exe")),
                 Utf8(FixturePath("tiny_installer.exe")), "-o", Utf8(dir.File("unsigned.exe"))});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"unsigned.exe"});
    // The stub and the installer, one behind the other, but for the checksum.
    Bytes written = ReadBytes(dir.File("unsigned.exe"));
    Bytes expected = ReadBytes(FixturePath("unsigned_package.exe"));
    const std::size_t nt = NtOffset(written);
    EXPECT_NE(StoredPeChecksum(written, nt), StoredPeChecksum(expected, nt));
    EXPECT_EQ(StoredPeChecksum(written, nt), ComputePeChecksum(written, nt + kChecksumOffset));
    std::fill_n(written.begin() + nt + kChecksumOffset, 4, 0);
    std::fill_n(expected.begin() + nt + kChecksumOffset, 4, 0);
    EXPECT_TRUE(written == expected);
    // The fixture's installer is a multiple of 8 bytes: no padding to warn of.
    EXPECT_EQ(run.err, "");
}

TEST(TvkpackEmbed, WarnsOfTheZeroBytesThatSigningPutsBehindTheInstaller) {
    const struct {
        std::uint64_t package_size;
        std::string expected;  // empty: no warning
    } rows[] = {
        {4096, ""},
        {4097, "7 zero bytes"},
        {4103, "1 zero bytes"},
    };
    for (const auto& row : rows) {
        const auto warning = SigningPaddingWarning(1000, row.package_size);
        EXPECT_EQ(warning.has_value(), !row.expected.empty()) << row.package_size;
        if (warning) {
            EXPECT_NE(warning->find(row.expected), std::string::npos) << *warning;
        }
    }
    ScopedTempDir dir;
    Bytes installer = ReadBytes(FixturePath("tiny_installer.exe"));
    installer.push_back(0);
    WriteBytes(dir.File("odd.exe"), installer);
    const CommandRun run = Tvkpack({"embed", Utf8(FixturePath("tiny_stub.exe")),
                                    Utf8(dir.File("odd.exe")), "-o", Utf8(dir.File("out.exe"))});
    EXPECT_EQ(run.status, kExitSuccess);
    EXPECT_NE(
        run.err.find("warning: the installer is " + std::to_string(installer.size()) + " bytes"),
        std::string::npos)
        << run.err;
}

TEST(TvkpackEmbed, RefusesWhatCannotBeAPackageAndWritesNothing) {
    ScopedTempDir dir;
    Bytes stub_with_tail = ReadBytes(FixturePath("tiny_stub.exe"));
    stub_with_tail.push_back(0);
    WriteBytes(dir.File("stub_with_tail.exe"), stub_with_tail);
    // The tiny stub's fifth section is its .bss, which has no raw data.
    Bytes stub_with_far_bss = ReadBytes(FixturePath("tiny_stub.exe"));
    test_support::SetSection(stub_with_far_bss, 4,
                             {static_cast<std::uint32_t>(stub_with_far_bss.size() + 512), 0});
    WriteBytes(dir.File("far_bss.exe"), stub_with_far_bss);
    WriteBytes(dir.File("script.sh"), AsBytes("#!/bin/sh\necho not a program\n"));
    const std::string stub = Utf8(FixturePath("tiny_stub.exe"));
    const std::string installer = Utf8(FixturePath("tiny_installer.exe"));
    struct Row {
        const char* what;
        std::string stub, installer;
        std::string message;
    };
    const Row rows[] = {
        {"an installer that is not a PE file", stub, Utf8(dir.File("script.sh")),
         "the installer is not a PE file"},
        {"a stub that is already signed", Utf8(FixturePath("signed_stub.exe")), installer,
         "the stub already has a certificate table"},
        {"a stub with data behind its sections", Utf8(dir.File("stub_with_tail.exe")), installer,
         "the stub has data behind its last section"},
        {"a stub that is not a PE file", Utf8(dir.File("script.sh")), installer,
         "the stub is not a PE file"},
        {"a section whose raw data lies beyond the stub's end", Utf8(dir.File("far_bss.exe")),
         installer, "the stub's section 5 has its raw data at offset 15360, beyond the stub's end"},
        {"a missing stub", Utf8(dir.File("none.exe")), installer, "does not exist"},
        {"a folder as installer", stub, Utf8(dir.path()), "is not a file"},
    };
    for (const Row& row : rows) {
        const CommandRun run =
            Tvkpack({"embed", row.stub, row.installer, "-o", Utf8(dir.File("out.exe"))});
        EXPECT_EQ(run.status, kExitFailure) << row.what;
        EXPECT_NE(run.err.find(row.message), std::string::npos) << row.what << ": " << run.err;
        EXPECT_FALSE(fs::exists(dir.File("out.exe"))) << row.what;
    }
    EXPECT_EQ(dir.Names(),
              (std::vector<std::string>{"far_bss.exe", "script.sh", "stub_with_tail.exe"}));
}

// ---------------------------------------------------------------------------

TEST(TvkpackTag, UntagGivesBackTheSignedFileByteForByteForBothVersions) {
    const Bytes signed_file = ReadBytes(FixturePath("signed_package.exe"));
    const std::size_t nt = NtOffset(signed_file);
    struct Row {
        const char* what;
        TagContent content;
        std::int32_t version;
    };
    const Row rows[] = {
        {"parameters only", {AsBytes(kParamsJson), {}, {}, {}}, 1},
        {"icon and picture", {AsBytes(kParamsJson), IconBytes(), PictureBytes(), {}}, 2},
        {"picture only", {AsBytes(kParamsJson), {}, PictureBytes(2), {}}, 2},
        {"version 2 asked for, without branding", {AsBytes("{}"), {}, {}, 2}, 2},
    };
    for (const Row& row : rows) {
        const TvkpackTagged outcome = TvkpackTag(signed_file, row.content);
        EXPECT_EQ(outcome.version, row.version) << row.what;
        EXPECT_FALSE(outcome.replaced_tag) << row.what;
        EXPECT_TRUE(IsTagged(outcome.package)) << row.what;
        EXPECT_EQ(test_support::ReadTrailer(outcome.package).version, row.version);
        EXPECT_EQ(package_writer::ReadHeaders(outcome.package).security.size,
                  outcome.package.size() - package_writer::ReadHeaders(signed_file).security.offset)
            << row.what;
        // The checksum is computed afresh for the tagged file.
        EXPECT_EQ(StoredPeChecksum(outcome.package, nt),
                  ComputePeChecksum(outcome.package, nt + kChecksumOffset))
            << row.what;
        EXPECT_NE(StoredPeChecksum(outcome.package, nt), StoredPeChecksum(signed_file, nt));
        EXPECT_TRUE(TvkpackUntag(outcome.package) == signed_file) << row.what;
    }
}

TEST(TvkpackTag, ReTaggingReplacesTheTagAndKeepsTheSignedPart) {
    const Bytes signed_file = ReadBytes(FixturePath("signed_package.exe"));
    const TvkpackTagged first =
        TvkpackTag(signed_file, {AsBytes(kParamsJson), IconBytes(), {}, {}});
    const TvkpackTagged second = TvkpackTag(first.package, {AsBytes(kOtherParamsJson), {}, {}, {}});
    EXPECT_TRUE(second.replaced_tag);
    EXPECT_EQ(second.version, 1);
    // The tagged file's checksum is its own, not the signed file's: no stale warning.
    EXPECT_TRUE(second.warnings.empty());
    // The same as tagging the signed file directly.
    EXPECT_TRUE(second.package ==
                TvkpackTag(signed_file, {AsBytes(kOtherParamsJson), {}, {}, {}}).package);
    EXPECT_TRUE(TvkpackUntag(second.package) == signed_file);

    // The tagged file's checksum is composed on, unread; one that no file of
    // its size can have is not, and the file is read for it after all.
    Bytes impossible = first.package;
    impossible[NtOffset(impossible) + kChecksumOffset + 3] ^= 0x80;
    EXPECT_TRUE(TvkpackTag(impossible, {AsBytes(kOtherParamsJson), {}, {}, {}}).package ==
                second.package);
    EXPECT_TRUE(TvkpackUntag(impossible) == signed_file);
}

TEST(TvkpackTag, AZeroChecksumStaysZeroSoThatUntagRestoresIt) {
    Bytes signed_file = ReadBytes(FixturePath("signed_package.exe"));
    const std::size_t nt = NtOffset(signed_file);
    std::fill_n(signed_file.begin() + nt + kChecksumOffset, 4, 0);
    const TvkpackTagged outcome = TvkpackTag(signed_file, {AsBytes(kParamsJson), {}, {}, {}});
    EXPECT_EQ(StoredPeChecksum(outcome.package, nt), 0u);
    EXPECT_TRUE(TvkpackUntag(outcome.package) == signed_file);
    EXPECT_TRUE(outcome.warnings.empty());

    // A stale checksum cannot be given back; the user is told.
    signed_file[nt + kChecksumOffset] = 1;
    EXPECT_EQ(TvkpackTag(signed_file, {AsBytes(kParamsJson), {}, {}, {}}).warnings.size(), 1u);
}

TEST(TvkpackTag, UntagRefusesFilesWithoutATagOfItsOwn) {
    const Bytes signed_file = ReadBytes(FixturePath("signed_package.exe"));
    const auto table = package_writer::ReadHeaders(signed_file).security;
    // Another record behind the signature: not a tag, never to be cut away.
    Bytes second_record = signed_file;
    test_support::AppendBytes(second_record, 32, 0x11);
    test_support::SetSecurityDirectory(second_record, table.offset, table.size + 32);
    // A tag whose blocks do not start behind the signature record.
    package_writer::TagOptions options;
    options.params_base64 = "e30=";
    Bytes odd_tag = test_support::TagImage(signed_file, options);
    test_support::OverrideTrailer(odd_tag, {.extra_data_offset = 16});
    struct Row {
        const char* what;
        Bytes image;
        std::string message;
    };
    const Row rows[] = {
        {"a signed file without tag", signed_file, "carries no tag"},
        {"unknown data behind the signature", second_record, "no TVK trailer"},
        {"a tag that does not begin behind the signature", odd_tag, "does not begin right behind"},
        {"an unsigned file", ReadBytes(FixturePath("unsigned_package.exe")), "not signed"},
    };
    for (const Row& row : rows) {
        try {
            TvkpackUntag(row.image);
            ADD_FAILURE() << row.what << ": accepted";
        } catch (const CommandError& error) {
            EXPECT_NE(std::string(error.what()).find(row.message), std::string::npos)
                << row.what << ": " << error.what();
        }
    }
    // Tagging such a file refuses it too, rather than dropping what it holds.
    EXPECT_THROW(TvkpackTag(second_record, {AsBytes("{}"), {}, {}, {}}), CommandError);
}

TEST(TvkpackTag, RefusesBadInputWithAClearMessageAndLeavesNoFile) {
    ScopedTempDir dir;
    const std::string signed_file = Utf8(FixturePath("signed_package.exe"));
    WriteBytes(dir.File("params.json"), AsBytes(kParamsJson));
    WriteBytes(dir.File("broken.json"), AsBytes("{\"product\": \"Demo\",}"));
    WriteBytes(dir.File("icon.ico"), IconBytes());
    WriteBytes(dir.File("picture.bmp"), PictureBytes());
    WriteBytes(dir.File("huge.ico"), IconBytes(0x1400001));
    // The largest JSON whose base64 text still fits in a block, plus 3 bytes.
    std::string huge_json = "\"" + std::string(0x1400000 / 4 * 3 + 1, 'a') + "\"";
    WriteBytes(dir.File("huge.json"), AsBytes(huge_json));
    const std::string out = Utf8(dir.File("out.exe"));
    const std::string params = Utf8(dir.File("params.json"));
    struct Row {
        const char* what;
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"an unsigned input",
         {"tag", Utf8(FixturePath("unsigned_package.exe")), "-o", out, "--params", params},
         kExitFailure,
         "The file does not have a digital signature"},
        {"a signed stub without installer",
         {"tag", Utf8(FixturePath("signed_stub.exe")), "-o", out, "--params", params},
         kExitFailure,
         "The installer data is missing"},
        {"parameters that are not JSON",
         {"tag", signed_file, "-o", out, "--params", Utf8(dir.File("broken.json"))},
         kExitFailure,
         "not valid JSON"},
        {"a missing parameters file",
         {"tag", signed_file, "-o", out, "--params", Utf8(dir.File("none.json"))},
         kExitFailure,
         "does not exist"},
        {"an icon over the block limit",
         {"tag", signed_file, "-o", out, "--params", params, "--icon", Utf8(dir.File("huge.ico"))},
         kExitFailure,
         "at most 20971520 bytes"},
        {"parameters whose base64 text exceeds the block limit",
         {"tag", signed_file, "-o", out, "--params", Utf8(dir.File("huge.json"))},
         kExitFailure,
         "at most 20971520 bytes"},
        {"a bitmap given as icon",
         {"tag", signed_file, "-o", out, "--params", params, "--icon",
          Utf8(dir.File("picture.bmp"))},
         kExitFailure,
         "is not an .ico file"},
        {"an icon given as picture",
         {"tag", signed_file, "-o", out, "--params", params, "--picture",
          Utf8(dir.File("icon.ico"))},
         kExitFailure,
         "is not a .bmp file"},
        {"version 1 with an icon",
         {"tag", signed_file, "-o", out, "--params", params, "--icon", Utf8(dir.File("icon.ico")),
          "--version", "1"},
         kExitUsage,
         "--version 1 carries no icon or picture"},
        {"version 3",
         {"tag", signed_file, "-o", out, "--params", params, "--version", "3"},
         kExitUsage,
         "--version: 3 not in {1,2}"},
        {"no parameters", {"tag", signed_file, "-o", out}, kExitUsage, "--params is required"},
        {"no output", {"tag", signed_file, "--params", params}, kExitUsage, "--output is required"},
        {"an output in a folder that does not exist",
         {"tag", signed_file, "-o", Utf8(dir.File("none/out.exe")), "--params", params},
         kExitFailure,
         "cannot create a file"},
        {"an output that is a folder",
         {"tag", signed_file, "-o", Utf8(dir.path()), "--params", params},
         kExitFailure,
         "is a folder"},
    };
    const std::vector<std::string> before = dir.Names();
    for (const Row& row : rows) {
        const CommandRun run = Tvkpack(row.arguments);
        EXPECT_EQ(run.status, row.status) << row.what;
        EXPECT_NE(run.err.find(row.message), std::string::npos) << row.what << ": " << run.err;
        EXPECT_EQ(dir.Names(), before) << row.what;
    }
}

// Windows' default marker check reads the whole certificate table, so a
// marker in a picture is warned of by tag and inspect with its file offset,
// in either placement; a flood of them is counted, not listed.
TEST(TvkpackTag, TagAndInspectWarnOfArchiveMarkersInThePictureByFileOffset) {
    struct Row {
        const char* what;
        std::vector<std::pair<std::string, std::size_t>> markers;  // value, offset in the picture
        const char* placement;
        std::size_t warnings;
        const char* shown = "";  // the first marker, as the warning names it
    };
    const Row rows[] = {
        {"none", {}, "inside", 0},
        {"EGGA inside the signature",
         {{"EGGA", 100}},
         "inside",
         1,
         "\"EGGA\" (EGG archive header)"},
        {"EGGA behind the signature",
         {{"EGGA", 100}},
         "behind",
         1,
         "\"EGGA\" (EGG archive header)"},
        {"a zip's directory",
         {{"PK\x01\x02", 200},
          {"PK\x01\x02", 240},
          {"PK\x01\x02", 280},
          {"PK\x01\x02", 320},
          {"PK\x01\x02", 360},
          {"PK\x05\x06", 400}},
         "inside",
         5,
         "\"PK\\x01\\x02\" (zip central directory header)"},
    };
    ScopedTempDir dir;
    WriteBytes(dir.File("params.json"), AsBytes(kParamsJson));
    for (const Row& row : rows) {
        Bytes picture = PictureBytes();
        for (const auto& [value, offset] : row.markers) {
            std::copy(value.begin(), value.end(), picture.begin() + offset);
        }
        WriteBytes(dir.File("picture.bmp"), picture);
        const CommandRun tag =
            Tvkpack({"tag", Utf8(FixturePath("signed_runnable.exe")), "-o",
                     Utf8(dir.File("setup.exe")), "--params", Utf8(dir.File("params.json")),
                     "--picture", Utf8(dir.File("picture.bmp")), "--placement", row.placement});
        ASSERT_EQ(tag.status, kExitSuccess) << row.what << ": " << tag.err;
        const CommandRun json = Tvkpack({"inspect", Utf8(dir.File("setup.exe")), "--json"});
        const nlohmann::json report = nlohmann::json::parse(json.out);
        EXPECT_EQ(report["layout"]["relaxed_marker_check"], false) << row.what;
        const std::int64_t picture_offset = report["blocks"][1]["offset"];
        const nlohmann::json& found = report["archive_markers"];
        ASSERT_EQ(found.size(), row.markers.size()) << row.what << ": " << json.out;
        for (std::size_t i = 0; i < row.markers.size(); ++i) {
            const auto& [value, offset] = row.markers[i];
            EXPECT_EQ(found[i]["offset"], picture_offset + std::int64_t(offset)) << row.what;
            EXPECT_EQ(found[i]["block"], "picture") << row.what;
            EXPECT_EQ(found[i]["offset_in_block"], offset) << row.what;
            EXPECT_EQ(found[i]["hex"].get<std::string>().size(), value.size() * 2) << row.what;
        }
        // The same warnings from both commands, each on a line of its own.
        const std::vector<std::string> warnings = report["warnings"];
        EXPECT_EQ(warnings.size(), row.warnings) << row.what;
        std::string tag_warnings;
        for (const std::string& warning : warnings) {
            tag_warnings += "tvkpack: warning: " + warning + "\n";
        }
        EXPECT_EQ(tag.err, tag_warnings) << row.what;
        const CommandRun text = Tvkpack({"inspect", Utf8(dir.File("setup.exe"))});
        for (const std::string& warning : warnings) {
            EXPECT_NE(text.out.find("  warning: " + warning + "\n"), std::string::npos)
                << row.what << ": " << text.out;
        }
        if (!row.markers.empty()) {
            const std::int64_t first = picture_offset + std::int64_t(row.markers[0].second);
            EXPECT_EQ(warnings.front().rfind(
                          std::string("the picture block holds ") + row.shown + " at file offset " +
                              std::to_string(first) + " (offset " +
                              std::to_string(row.markers[0].second) + " in the block): ",
                          0),
                      0u)
                << row.what << ": " << warnings.front();
        }
        if (row.warnings > package_writer::kMarkersNamed) {
            EXPECT_NE(warnings.back().find("holds 2 more archive or installer markers"),
                      std::string::npos)
                << warnings.back();
        }
    }
}

TEST(TvkpackCommandLine, UsageErrorsAndMissingFilesFailWithTheirStatus) {
    ScopedTempDir dir;
    struct Row {
        std::vector<std::string> arguments;
        int status;
        std::string message;  // in standard error
    };
    const std::vector<Row> rows = {
        {{}, kExitUsage, "Usage: tvkpack"},
        {{"frob"}, kExitUsage, "unknown command 'frob'"},
        {{"embed", "stub.exe", "-o", "x.exe"}, kExitUsage, "INSTALLER is required"},
        {{"embed", "a", "b"}, kExitUsage, "--output is required"},
        {{"embed", "a", "b", "-o"}, kExitUsage, "--output: 1 required TEXT missing"},
        {{"untag", "a", "-o", "x", "-o", "y"}, kExitUsage, "--output: At Most 1 required"},
        {{"inspect", "a", "--verbose"}, kExitUsage, "not expected: --verbose"},
        {{"inspect"}, kExitUsage, "PACKAGE is required"},
        {{"inspect", Utf8(dir.File("none.exe"))}, kExitFailure, "does not exist"},
        {{"untag", Utf8(FixturePath("signed_package.exe")), "-o", Utf8(dir.File("x.exe"))},
         kExitFailure,
         "carries no tag"},
    };
    for (const Row& row : rows) {
        const CommandRun run = Tvkpack(row.arguments);
        EXPECT_EQ(run.status, row.status) << row.message;
        EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    }
    EXPECT_TRUE(dir.Names().empty());
    const CommandRun help = Tvkpack({"--help"});
    EXPECT_EQ(help.status, kExitSuccess);
    EXPECT_NE(help.out.find("tvkpack tag SIGNED"), std::string::npos);
    const CommandRun version = Tvkpack({"--version"});
    EXPECT_EQ(version.status, kExitSuccess);
    EXPECT_TRUE(version.out.starts_with("tvkpack " TVK_VERSION_TEXT "\nreleased with stub: "))
        << version.out;
}

// ---------------------------------------------------------------------------
// Packages made by tvkpack, run by the stub's own sequence.

class TvkpackRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        wchar_t value[32768];
        const DWORD length = GetEnvironmentVariableW(L"TMP", value, 32768);
        original_tmp_ = length > 0 && length < 32768 ? std::wstring(value, length) : L"";
        SetEnvironmentVariableW(L"TMP", test_support::ToWindowsPath(temp_.path()).c_str());
#else
        standin::ResetControls();
        standin::SetTempPath(temp_.WindowsFolder());
#endif
    }
    void TearDown() override {
#ifdef _WIN32
        SetEnvironmentVariableW(L"TMP", original_tmp_.empty() ? nullptr : original_tmp_.c_str());
#else
        standin::ResetControls();
#endif
    }

    // Runs the stub's sequence on the package; returns its exit status.
    int RunStub(const fs::path& package) {
        for (const auto& entry : fs::directory_iterator(temp_.path())) {
            fs::remove_all(entry.path());
        }
        const std::wstring path = test_support::ToWindowsPath(package);
        return RunSequence(L"", [&] { return path; });
    }

    // The one hand-over file of the last run whose name starts with prefix,
    // or nothing.
    std::optional<Bytes> HandedOver(const std::string& prefix) const {
        for (const std::string& name : temp_.Names()) {
            if (name.starts_with(prefix)) {
                return ReadBytes(temp_.File(name));
            }
        }
        return std::nullopt;
    }

    ScopedTempDir temp_;
    ScopedTempDir work_;
#ifdef _WIN32
    std::wstring original_tmp_;
#endif
};

TEST_F(TvkpackRunTest, ThePackageHandsOverExactlyTheTaggedFilesAndReTaggingChangesThem) {
    WriteBytes(work_.File("params.json"), AsBytes(kParamsJson));
    WriteBytes(work_.File("other.json"), AsBytes(kOtherParamsJson));
    WriteBytes(work_.File("icon.ico"), IconBytes());
    WriteBytes(work_.File("picture.bmp"), PictureBytes());
    const std::string signed_file = Utf8(FixturePath("signed_runnable.exe"));

    const CommandRun tag =
        Tvkpack({"tag", signed_file, "-o", Utf8(work_.File("setup.exe")), "--params",
                 Utf8(work_.File("params.json")), "--icon", Utf8(work_.File("icon.ico")),
                 "--picture", Utf8(work_.File("picture.bmp"))});
    ASSERT_EQ(tag.status, kExitSuccess) << tag.err;
    EXPECT_NE(tag.out.find("version 2"), std::string::npos);
    ASSERT_EQ(RunStub(work_.File("setup.exe")), 0);
    EXPECT_EQ(HandedOver("InstallerParams_"), AsBytes(kParamsJson));
    EXPECT_EQ(HandedOver("ico_"), IconBytes());
    EXPECT_EQ(HandedOver("picture_"), PictureBytes());

    // The same package re-tagged in place, without signing again, and moved
    // from inside the signature to behind it.
    const CommandRun retag =
        Tvkpack({"tag", Utf8(work_.File("setup.exe")), "-o", Utf8(work_.File("setup.exe")),
                 "--params", Utf8(work_.File("other.json")), "--placement", "behind"});
    ASSERT_EQ(retag.status, kExitSuccess) << retag.err;
    EXPECT_NE(retag.out.find("replaced"), std::string::npos);
    ASSERT_EQ(RunStub(work_.File("setup.exe")), 0);
    EXPECT_EQ(HandedOver("InstallerParams_"), AsBytes(kOtherParamsJson));
    EXPECT_EQ(HandedOver("ico_"), std::nullopt);
    EXPECT_EQ(HandedOver("picture_"), std::nullopt);

    const CommandRun untag =
        Tvkpack({"untag", Utf8(work_.File("setup.exe")), "-o", Utf8(work_.File("signed.exe"))});
    ASSERT_EQ(untag.status, kExitSuccess) << untag.err;
    EXPECT_TRUE(ReadBytes(work_.File("signed.exe")) ==
                ReadBytes(FixturePath("signed_runnable.exe")));
    // Nothing but the named outputs was left behind.
    EXPECT_EQ(work_.Names(), (std::vector<std::string>{"icon.ico", "other.json", "params.json",
                                                       "picture.bmp", "setup.exe", "signed.exe"}));
}

TEST_F(TvkpackRunTest, InspectShowsTheLayoutAndTheParametersOfAGoodPackage) {
    const Bytes signed_file = ReadBytes(FixturePath("signed_runnable.exe"));
    const auto table = package_writer::ReadHeaders(signed_file).security;
    struct Row {
        tag_writer::TagPlacement placement;
        const char* shown;
        bool strict_accept;
    };
    const Row rows[] = {
        {tag_writer::TagPlacement::kInsideSignature, "inside the signature", true},
        {tag_writer::TagPlacement::kBehindSignature, "behind the signature", false},
    };
    // The identity of the stub inside: that of the bare stub it was made of.
    const std::string identity = StubIdentity(InputFile(FixturePath("tiny_stub.exe"), "stub"));
    for (const Row& row : rows) {
        TagContent content{AsBytes(kParamsJson), IconBytes(), PictureBytes(), {}};
        content.placement = row.placement;
        const TvkpackTagged tagged = TvkpackTag(signed_file, content);
        WriteBytes(work_.File("setup.exe"), tagged.package);

        const InspectReport report = Inspect(work_.File("setup.exe"));
        ASSERT_FALSE(report.problem) << report.problem->message;
        ASSERT_TRUE(report.layout);
        const InspectReport::Layout& layout = *report.layout;
        EXPECT_EQ(layout.installer_offset,
                  static_cast<std::int32_t>(ReadBytes(FixturePath("tiny_stub.exe")).size()));
        EXPECT_EQ(layout.certificate_table_offset, static_cast<std::int32_t>(table.offset));
        EXPECT_EQ(layout.checksum_stored, layout.checksum_computed);
        EXPECT_EQ(layout.tag_placement, row.shown);
        EXPECT_EQ(StrictVerifierObjections(layout).empty(), row.strict_accept) << row.shown;
        ASSERT_EQ(report.blocks.size(), 3u);
        if (row.strict_accept) {
            // One record filling the table, the DER ending with the trailer.
            EXPECT_EQ(layout.signature_length,
                      static_cast<std::uint32_t>(layout.certificate_table_size));
            EXPECT_EQ(layout.signature_length % 8, 0u);
            EXPECT_EQ(layout.bytes_outside_pkcs7, 0u);
        } else {
            EXPECT_EQ(layout.signature_length, table.size);
            EXPECT_EQ(report.blocks[0].position, static_cast<std::int64_t>(signed_file.size()));
            EXPECT_GT(layout.nonzero_outside_pkcs7, 0u);
        }
        EXPECT_EQ(report.blocks[0].position,
                  std::int64_t{table.offset} + report.trailer->extra_data_offset);
        EXPECT_EQ(report.blocks[1].position, report.blocks[0].position + 300);
        EXPECT_EQ(report.blocks[2].position, report.blocks[1].position + 700);
        EXPECT_EQ(report.blocks[2].size,
                  static_cast<std::int32_t>(Base64EncodedSize(kParamsJson.size())));
        EXPECT_EQ(report.parameters, AsBytes(kParamsJson));
        EXPECT_EQ(report.picture_size, 700u);
        EXPECT_EQ(report.icon_size, 300u);
        EXPECT_EQ(report.stub_identity, identity) << row.shown;
        for (const std::string& note : report.notes) {
            EXPECT_EQ(note.find("block"), std::string::npos) << row.shown << ": " << note;
        }
    }

    const CommandRun json = Tvkpack({"inspect", Utf8(work_.File("setup.exe")), "--json"});
    EXPECT_EQ(json.status, kExitSuccess);
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["stub_would_run"], true) << json.out;
    EXPECT_EQ(parsed["parameters"], kParamsJson) << json.out;
    EXPECT_EQ(parsed["layout"]["tag_placement"], "behind the signature") << json.out;
    EXPECT_EQ(parsed["picture_file_size"], 700) << json.out;
    EXPECT_EQ(parsed["stub_identity"], identity) << json.out;
    const CommandRun text = Tvkpack({"inspect", Utf8(work_.File("setup.exe"))});
    EXPECT_EQ(text.status, kExitSuccess);
    EXPECT_NE(text.out.find("the stub would run it"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("stub identity           " + identity + "\n"), std::string::npos)
        << text.out;
    const CommandRun stub_id = Tvkpack({"stub-id", Utf8(work_.File("setup.exe"))});
    EXPECT_EQ(stub_id.status, kExitSuccess);
    EXPECT_EQ(stub_id.out, identity + "\n");
}

TEST_F(TvkpackRunTest, InspectNamesTheStubsOwnFailureForEachMalformedPackage) {
    const Bytes signed_file = ReadBytes(FixturePath("signed_runnable.exe"));
    const Bytes good = [&] {
        package_writer::TagOptions options;
        options.version = 2;
        options.params_base64 = Base64Encode(AsBytes(kParamsJson));
        options.icon = IconBytes();
        options.picture = PictureBytes();
        return test_support::TagImage(signed_file, options);
    }();
    const auto changed = [&](const std::function<void(Bytes&)>& change) {
        Bytes image = good;
        change(image);
        return image;
    };
    const auto overridden = [&](const test_support::TrailerOverrides& fields) {
        return changed([&](Bytes& b) { test_support::OverrideTrailer(b, fields); });
    };
    struct Row {
        const char* what;
        Bytes package;
        std::string message;
        std::string step;
    };
    const std::vector<Row> rows = {
        {"no 'MZ'", changed([](Bytes& b) { b[0] = 'X'; }),
         "The file is not a valid executable: missing 'MZ' magic", "validation"},
        {"e_lfanew 0", changed([](Bytes& b) { test_support::SetNtHeadersOffset(b, 0); }),
         "The file is not a valid executable: PE header offset is wrong", "validation"},
        {"e_lfanew pointing at no NT headers",
         changed([](Bytes& b) { test_support::SetNtHeadersOffset(b, 4096); }),
         "The file is not a valid executable: missing 'PE' signature", "validation"},
        {"a PE32+ header", changed([](Bytes& b) { test_support::SetOptionalMagic(b, 0x20B); }),
         "The file is not a valid executable: wrong 32-bit PE magic", "validation"},
        {"no certificate table",
         changed([](Bytes& b) { test_support::SetSecurityDirectory(b, 0, 0); }),
         "The file does not have a digital signature", "validation"},
        {"bytes behind the certificate table",
         changed([](Bytes& b) { test_support::AppendBytes(b, 8); }), "The file size is infcorrect",
         "validation"},
        {"no installer image",
         [] {
             package_writer::TagOptions options;
             options.params_base64 = "e30=";
             return test_support::TagImage(ReadBytes(FixturePath("signed_stub.exe")), options);
         }(),
         "The installer data is missing", "validation"},
        {"a wrong magic", overridden({.magic = 0x534B5655}), "Not a TVK package", "parameters"},
        {"an untagged signed file", signed_file, "Not a TVK package", "parameters"},
        {"version 3", overridden({.version = 3}), "Unsupported TVK package version for ReadData",
         "parameters"},
        {"parameters over the limit", overridden({.params_size = 0x1400001}),
         "Package data too big", "parameters"},
        {"a negative parameters size", overridden({.params_size = -4}), "Package data too big",
         "parameters"},
        {"a picture over the limit", overridden({.picture_size = 0x1400001}),
         "Picture data too big", "picture"},
        {"a negative icon size", overridden({.icon_size = -1}), "Ico data too big", "icon"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WriteBytes(work_.File("bad.exe"), row.package);
        const InspectReport report = Inspect(work_.File("bad.exe"));
        ASSERT_TRUE(report.problem);
        EXPECT_EQ(report.problem->message, row.message);
        EXPECT_EQ(report.problem->step, row.step);
        const CommandRun run = Tvkpack({"inspect", Utf8(work_.File("bad.exe"))});
        EXPECT_EQ(run.status, kExitFailure);
        EXPECT_NE(run.out.find(row.message), std::string::npos) << run.out;

        EXPECT_EQ(RunStub(work_.File("bad.exe")), 1);
#ifndef _WIN32
        // The box the stub showed carries the same text.
        const auto boxes = standin::MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(Utf8FromWide(boxes[0].text), report.problem->message);
        standin::ResetControls();
        standin::SetTempPath(temp_.WindowsFolder());
#endif
    }
}

TEST_F(TvkpackRunTest, InspectNotesWhatIsOddButDoesNotStopTheStub) {
    const Bytes signed_file = ReadBytes(FixturePath("signed_runnable.exe"));
    const auto tag = [&](const std::function<void(package_writer::TagOptions&)>& change) {
        package_writer::TagOptions options;
        options.params_base64 = Base64Encode(AsBytes(kParamsJson));
        change(options);
        return test_support::TagImage(signed_file, options);
    };
    const auto overridden = [&](const test_support::TrailerOverrides& fields) {
        Bytes package = tag([](auto&) {});
        test_support::OverrideTrailer(package, fields);
        return package;
    };
    struct Row {
        const char* what;
        Bytes package;
        std::string note;
    };
    const std::vector<Row> rows = {
        {"blocks inside the signature", overridden({.extra_data_offset = 16}),
         "do not start directly behind the signature record"},
        {"text that is not clean base64", tag([](auto& o) { o.params_base64 += "!!"; }),
         "not clean base64"},
        {"parameters that are not JSON", tag([](auto& o) { o.params_base64 = "bm90IGpzb24="; }),
         "not valid JSON"},
        {"a block beyond the end of the file", overridden({.params_size = 100000}),
         "beyond the end of the file"},
        {"a stale checksum",
         [&] {
             Bytes package = tag([](auto&) {});
             package[NtOffset(package) + kChecksumOffset] ^= 1;
             return package;
         }(),
         "checksum is stale"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WriteBytes(work_.File("odd.exe"), row.package);
        const CommandRun run = Tvkpack({"inspect", Utf8(work_.File("odd.exe"))});
        EXPECT_EQ(run.status, kExitSuccess) << run.out;
        EXPECT_NE(run.out.find("note: "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(row.note), std::string::npos) << run.out;
    }
}

#ifndef _WIN32
TEST_F(TvkpackRunTest, InspectShowsTheWindowsTextOfASystemErrorAsTheStubDoes) {
    const Bytes signed_file = ReadBytes(FixturePath("signed_runnable.exe"));
    WriteBytes(work_.File("setup.exe"),
               TvkpackTag(signed_file, {AsBytes("{}"), {}, {}, {}}).package);
    // The second file opened is the size query of the validation, in the
    // stub's run and in inspect alike.
    standin::FailNthCall(standin::Operation::CreateFileW, 2, ERROR_ACCESS_DENIED);
    const InspectReport report = Inspect(work_.File("setup.exe"));
    ASSERT_TRUE(report.problem);
    EXPECT_EQ(report.problem->step, "validation");
    EXPECT_EQ(report.problem->system_error_code, std::optional<std::uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(report.problem->message, Utf8FromWide(GetWindowsErrorText(ERROR_ACCESS_DENIED)));

    standin::ResetControls();
    standin::SetTempPath(temp_.WindowsFolder());
    standin::FailNthCall(standin::Operation::CreateFileW, 2, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunStub(work_.File("setup.exe")), 1);
    const auto boxes = standin::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(Utf8FromWide(boxes[0].text), report.problem->message);
}
#endif

}  // namespace
