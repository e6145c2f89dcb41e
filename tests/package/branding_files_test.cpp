// ExtractPicture and ExtractIco copy their block of a version-2 package byte
// for byte, zeros in place of what lies beyond the file, and touch no file
// for an empty block or a rejected package.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "package/pe_reader.h"
#include "tests/support/block_operations.h"
#include "tests/support/synthetic_package.h"

namespace {

using test_support::Bytes;
using test_support::FormatFailureOf;
using test_support::HandleLeakCheck;
using test_support::PatternBytes;
using test_support::ScopedTempDir;
using test_support::SyntheticCertificateTableOffset;
using test_support::SyntheticPackage;
using test_support::WritePackage;

constexpr std::int32_t kLimit = 0x1400000;

enum class Block { kPicture, kIcon };

const char* NameOf(Block block) {
    return block == Block::kPicture ? "picture" : "icon";
}

bool Extract(const PeReader& reader, Block block, const std::wstring& path) {
    return block == Block::kPicture ? reader.ExtractPicture(path) : reader.ExtractIco(path);
}

// Icon and picture bytes with zero bytes inside them, as real files have.
Bytes WithZeros(std::size_t size, std::uint32_t seed) {
    Bytes bytes = PatternBytes(size, seed);
    for (std::size_t i = 0; i < bytes.size(); i += 97) {
        bytes[i] = 0;
    }
    return bytes;
}

SyntheticPackage Version2(std::size_t icon, std::size_t picture) {
    SyntheticPackage package;
    package.version = 2;
    package.icon = WithZeros(icon, 11);
    package.picture = WithZeros(picture, 13);
    package.params_text = "eyJhIjoxfQ==";
    return package;
}

Bytes Concat(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

struct CopyCase {
    const char* what;
    Block block;
    std::function<SyntheticPackage()> make;
    // What the file holds afterwards, from the package as built; nullopt when
    // the operation returns false and leaves no file.
    std::function<std::optional<Bytes>(const SyntheticPackage&, const Bytes&)> expected;
};

TEST(BrandingFiles, CopyTheirBlockByteForByte) {
    const auto icon = [](const SyntheticPackage& p, const Bytes&) { return p.icon; };
    const auto picture = [](const SyntheticPackage& p, const Bytes&) { return p.picture; };
    const auto no_file = [](const SyntheticPackage&, const Bytes&) -> std::optional<Bytes> {
        return std::nullopt;
    };
    const CopyCase cases[] = {
        {"icon of 1,000 bytes from the start of the extra data", Block::kIcon,
         [] { return Version2(1000, 2000); }, icon},
        {"picture of 2,000 bytes behind the icon", Block::kPicture,
         [] { return Version2(1000, 2000); }, picture},
        {"picture at the start of the extra data when there is no icon", Block::kPicture,
         [] { return Version2(0, 5000); }, picture},
        {"no icon: false and no file", Block::kIcon, [] { return Version2(0, 5000); }, no_file},
        {"no picture: false and no file", Block::kPicture, [] { return Version2(700, 0); },
         no_file},
        {"a picture of exactly the limit passes", Block::kPicture,
         [] { return Version2(10, kLimit); }, picture},
        {"a picture running 10 bytes past the end of the file: zeros there", Block::kPicture,
         [] {
             SyntheticPackage package = Version2(100, 200);
             // From the picture to the end: picture, parameters and trailer.
             package.picture_size = 200 + 12 + 24 + 10;
             return package;
         },
         [](const SyntheticPackage& p, const Bytes& file) -> std::optional<Bytes> {
             const Bytes tail(file.end() - (200 + 12 + 24), file.end());
             EXPECT_EQ(Bytes(tail.begin(), tail.begin() + 200), p.picture);
             return Concat(tail, Bytes(10, 0));
         }},
        {"an icon at a negative position: all zeros", Block::kIcon,
         [] {
             SyntheticPackage package = Version2(300, 0);
             package.extra_data_offset =
                 -static_cast<std::int32_t>(SyntheticCertificateTableOffset(package)) - 1;
             return package;
         },
         [](const SyntheticPackage&, const Bytes&) -> std::optional<Bytes> {
             return Bytes(300, 0);
         }},
        {"a picture whose position wraps past 2^31: all zeros", Block::kPicture,
         [] {
             SyntheticPackage package = Version2(0, 300);
             package.icon_size = INT_MAX;  // not used as a length by ExtractPicture
             return package;
         },
         [](const SyntheticPackage&, const Bytes&) -> std::optional<Bytes> {
             return Bytes(300, 0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedTempDir dir;
        const SyntheticPackage package = c.make();
        const Bytes file = package.Build();
        test_support::WriteBytes(dir.File("package.exe"), file);
        const PeReader reader(dir.WindowsFile("package.exe"));
        const std::optional<Bytes> expected = c.expected(package, file);
        HandleLeakCheck handles;
        EXPECT_EQ(Extract(reader, c.block, dir.WindowsFile("out")), expected.has_value());
        if (expected) {
            ASSERT_TRUE(std::filesystem::exists(dir.File("out")));
            EXPECT_EQ(test_support::ReadBytes(dir.File("out")), *expected);
        } else {
            EXPECT_FALSE(std::filesystem::exists(dir.File("out")));
        }
    }
}

TEST(BrandingFiles, ReplaceAnExistingFileButLeaveItForAnEmptyBlock) {
    for (const Block block : {Block::kPicture, Block::kIcon}) {
        for (const bool empty : {false, true}) {
            SCOPED_TRACE(testing::Message() << NameOf(block) << (empty ? " empty" : " present"));
            ScopedTempDir dir;
            const SyntheticPackage package = empty ? Version2(0, 0) : Version2(40, 50);
            const PeReader reader(WritePackage(dir, package));
            const Bytes before = PatternBytes(9000, 5);
            test_support::WriteBytes(dir.File("out"), before);
            HandleLeakCheck handles;
            EXPECT_EQ(Extract(reader, block, dir.WindowsFile("out")), !empty);
            const Bytes after = test_support::ReadBytes(dir.File("out"));
            if (empty) {
                EXPECT_EQ(after, before);
            } else {
                EXPECT_EQ(after, block == Block::kPicture ? package.picture : package.icon);
            }
        }
    }
}

TEST(BrandingFiles, IgnoreAFileTheyCannotCreate) {
    for (const Block block : {Block::kPicture, Block::kIcon}) {
        SCOPED_TRACE(NameOf(block));
        ScopedTempDir dir;
        const PeReader reader(WritePackage(dir, Version2(40, 50)));
        HandleLeakCheck handles;
        EXPECT_TRUE(Extract(reader, block, dir.WindowsFolder() + L"missing\\out"));
        EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
    }
}

struct RejectCase {
    const char* what;
    std::function<void(SyntheticPackage&)> damage;
    const char* picture_message;
    const char* icon_message;
};

TEST(BrandingFiles, RejectABadTrailerInTheOrderMagicVersionSize) {
    const RejectCase cases[] = {
        {"wrong magic wins over version 1",
         [](SyntheticPackage& p) {
             p.version = 1;
             p.magic = 0x534B5654 + 0x100;
         },
         "Not a TVK package", "Not a TVK package"},
        {"version 1, whatever the 8 bytes before its trailer hold",
         [](SyntheticPackage& p) {
             p.version = 1;
             p.params_text = "YWJj////////";  // would read as sizes far over the limit
         },
         "Unsupported TVK package version for ExtractPicture",
         "Unsupported TVK package version for ExtractIco"},
        {"version 3 wins over sizes too big",
         [](SyntheticPackage& p) {
             p.version = 3;
             p.icon_size = kLimit + 1;
             p.picture_size = kLimit + 1;
         },
         "Unsupported TVK package version for ExtractPicture",
         "Unsupported TVK package version for ExtractIco"},
        {"version 0", [](SyntheticPackage& p) { p.version = 0; },
         "Unsupported TVK package version for ExtractPicture",
         "Unsupported TVK package version for ExtractIco"},
        {"one byte over the limit",
         [](SyntheticPackage& p) {
             p.icon_size = kLimit + 1;
             p.picture_size = kLimit + 1;
         },
         "Picture data too big", "Ico data too big"},
        {"negative sizes",
         [](SyntheticPackage& p) {
             p.icon_size = -1;
             p.picture_size = INT_MIN;
         },
         "Picture data too big", "Ico data too big"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedTempDir dir;
        SyntheticPackage package = Version2(40, 50);
        c.damage(package);
        const PeReader reader(WritePackage(dir, package));
        HandleLeakCheck handles;
        EXPECT_EQ(FormatFailureOf([&] { reader.ExtractPicture(dir.WindowsFile("out.bmp")); }),
                  c.picture_message);
        EXPECT_EQ(FormatFailureOf([&] { reader.ExtractIco(dir.WindowsFile("out.ico")); }),
                  c.icon_message);
        EXPECT_EQ(dir.Names(), std::vector<std::string>{"package.exe"}) << "a file was created";
    }
}

}  // namespace
