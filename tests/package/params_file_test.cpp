// ReadData finds the parameters block by the package version, checks the
// trailer in order, and decodes the text up to its first zero byte;
// ExtractParams writes the result, and failures to write are not reported.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <string>

#include "package/pe_reader.h"
#include "tests/support/block_operations.h"
#include "tests/support/synthetic_package.h"

namespace {

using namespace std::string_literals;
using test_support::Bytes;
using test_support::FormatFailureOf;
using test_support::HandleLeakCheck;
using test_support::PatternBytes;
using test_support::ScopedTempDir;
using test_support::SyntheticCertificateTableOffset;
using test_support::SyntheticPackage;
using test_support::WritePackage;

constexpr std::int32_t kLimit = 0x1400000;

Bytes BytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

SyntheticPackage Version2(std::size_t icon, std::size_t picture, std::string params) {
    SyntheticPackage package;
    package.version = 2;
    package.icon = PatternBytes(icon, 11);
    package.picture = PatternBytes(picture, 13);
    package.params_text = std::move(params);
    return package;
}

SyntheticPackage Version1(std::string params) {
    SyntheticPackage package;
    package.params_text = std::move(params);
    return package;
}

struct ReadCase {
    const char* what;
    std::function<SyntheticPackage()> make;
    std::string decoded;
    std::int32_t version;
};

TEST(ReadData, DecodesTheBlockWhereTheVersionPutsIt) {
    const ReadCase cases[] = {
        {"version 1: block at table offset + extra data offset",
         [] { return Version1("eyJhIjoxfQ=="); }, R"({"a":1})", 1},
        {"version 1 ignores the 8 bytes before its 16-byte trailer (here -1, -1)",
         [] { return Version1("YWJj\0\xff\xff\xff\xff\xff\xff\xff\xff"s); }, "abc", 1},
        {"version 1 ignores the 8 bytes before its trailer (here huge sizes)",
         [] { return Version1("YWJj////////"); }, "abc\xff\xff\xff\xff\xff\xff", 1},
        {"version 2: block behind a 1,000-byte icon and a 2,000-byte picture",
         [] { return Version2(1000, 2000, "eyJhIjoxfQ=="); }, R"({"a":1})", 2},
        {"version 2 without icon and picture: block at the extra data",
         [] { return Version2(0, 0, "eyJhIjoxfQ=="); }, R"({"a":1})", 2},
        {"size 0 gives nothing", [] { return Version1(""); }, "", 1},
        {"a zero byte mid-block ends the text", [] { return Version1("YWJj\0ZGVm"s); }, "abc", 1},
        {"text broken into lines: only the first line", [] { return Version1("YWJj\r\nZGVm\r\n"); },
         "abc", 1},
        {"a block past the end of the file: text ends where reading stops",
         [] {
             // The block starts at the trailer's last four bytes, "TVKS".
             SyntheticPackage package = Version1("");
             package.extra_data_offset = static_cast<std::int32_t>(package.signature_size) + 16 - 4;
             package.params_size = 100;
             return package;
         },
         "MR\x92", 1},
        {"a negative position reads nothing",
         [] {
             SyntheticPackage package = Version1("YWJj");
             package.extra_data_offset =
                 -static_cast<std::int32_t>(SyntheticCertificateTableOffset(package)) - 100;
             return package;
         },
         "", 1},
        {"a position that wraps past 2^31 reads nothing",
         [] {
             SyntheticPackage package = Version1("YWJj");
             package.extra_data_offset = INT_MAX;
             return package;
         },
         "", 1},
        {"version 2 icon and picture sizes wrap the position back onto the block",
         [] {
             // T + E + icon passes 2^31; adding picture wraps back to T + E + 3,000.
             SyntheticPackage package = Version2(1000, 2000, "YWJj");
             package.icon_size = INT_MAX;
             package.picture_size = static_cast<std::int32_t>(3000u - INT_MAX);
             return package;
         },
         "abc", 2},
        {"a block of exactly the limit passes",
         [] {
             std::string text;
             text.reserve(kLimit);
             while (text.size() < static_cast<std::size_t>(kLimit)) {
                 text += "YWJj";
             }
             return Version1(std::move(text));
         },
         [] {
             std::string abc;
             for (std::int32_t i = 0; i < kLimit / 4; ++i) {
                 abc += "abc";
             }
             return abc;
         }(),
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedTempDir dir;
        const PeReader reader(WritePackage(dir, c.make()));
        HandleLeakCheck handles;
        std::int32_t version = 0;
        EXPECT_EQ(reader.ReadData(version), BytesOf(c.decoded));
        EXPECT_EQ(version, c.version);
        EXPECT_EQ(dir.Names(), std::vector<std::string>{"package.exe"}) << "ReadData made a file";
    }
}

struct RejectCase {
    const char* what;
    std::function<void(SyntheticPackage&)> damage;
    std::string message;
};

TEST(ReadData, RejectsABadTrailerInTheOrderMagicVersionSize) {
    const RejectCase cases[] = {
        {"no trailer", [](SyntheticPackage& p) { p.with_trailer = false; }, "Not a TVK package"},
        {"wrong magic", [](SyntheticPackage& p) { p.magic = 0x534B5655; }, "Not a TVK package"},
        {"wrong magic wins over a wrong version",
         [](SyntheticPackage& p) {
             p.magic = 0;
             p.version = 3;
         },
         "Not a TVK package"},
        {"version 3", [](SyntheticPackage& p) { p.version = 3; },
         "Unsupported TVK package version for ReadData"},
        {"version 0", [](SyntheticPackage& p) { p.version = 0; },
         "Unsupported TVK package version for ReadData"},
        {"version 3 wins over a size too big",
         [](SyntheticPackage& p) {
             p.version = 3;
             p.params_size = kLimit + 1;
         },
         "Unsupported TVK package version for ReadData"},
        {"one byte over the limit", [](SyntheticPackage& p) { p.params_size = kLimit + 1; },
         "Package data too big"},
        {"a negative size", [](SyntheticPackage& p) { p.params_size = -1; },
         "Package data too big"},
        {"the most negative size", [](SyntheticPackage& p) { p.params_size = INT_MIN; },
         "Package data too big"},
        {"a negative size in version 2",
         [](SyntheticPackage& p) {
             p.version = 2;
             p.params_size = -24;
         },
         "Package data too big"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedTempDir dir;
        SyntheticPackage package = Version1("YWJj");
        c.damage(package);
        const PeReader reader(WritePackage(dir, package));
        HandleLeakCheck handles;
        std::int32_t version = 77;
        EXPECT_EQ(FormatFailureOf([&] { reader.ReadData(version); }), c.message);
        EXPECT_EQ(
            FormatFailureOf([&] { reader.ExtractParams(version, dir.WindowsFile("p.json")); }),
            c.message);
        EXPECT_EQ(version, 77) << "the version was set by a failed operation";
        EXPECT_FALSE(std::filesystem::exists(dir.File("p.json"))) << "a file was created";
    }
}

TEST(ExtractParams, WritesTheDecodedBytesAsTheyAre) {
    struct Case {
        const char* what;
        std::string params;
        std::int32_t version;
        std::string before;  // the file's content beforehand; empty: no file
        std::string written;
    } const cases[] = {
        {"JSON text", "eyJhIjoxfQ==", 1, "", R"({"a":1})"},
        {"zero bytes and line ends unchanged", "AA0KAA0A", 2, "", "\0\r\n\0\r\0"s},
        {"an empty block still makes an empty file", "", 1, "", ""},
        {"an existing longer file is replaced", "YWJj", 2, std::string(10000, 'x'), "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedTempDir dir;
        SyntheticPackage package = c.version == 1 ? Version1(c.params) : Version2(10, 20, c.params);
        const PeReader reader(WritePackage(dir, package));
        if (!c.before.empty()) {
            test_support::WriteBytes(dir.File("p.json"), BytesOf(c.before));
        }
        HandleLeakCheck handles;
        std::int32_t version = 0;
        reader.ExtractParams(version, dir.WindowsFile("p.json"));
        EXPECT_EQ(version, c.version);
        ASSERT_TRUE(std::filesystem::exists(dir.File("p.json")));
        EXPECT_EQ(test_support::ReadBytes(dir.File("p.json")), BytesOf(c.written));
    }
}

TEST(ExtractParams, IgnoresAFileItCannotCreate) {
    ScopedTempDir dir;
    const PeReader reader(WritePackage(dir, Version1("YWJj")));
    HandleLeakCheck handles;
    std::int32_t version = 0;
    EXPECT_NO_THROW(reader.ExtractParams(version, dir.WindowsFolder() + L"missing\\p.json"));
    EXPECT_EQ(version, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

}  // namespace
