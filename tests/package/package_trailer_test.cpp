// Every block operation reads the package trailer afresh from the end of the
// certificate table; a trailer that is missing, short or gone since the
// package was validated is "Not a TVK package", and no handle stays open.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "package/pe_reader.h"
#include "tests/support/block_operations.h"
#include "tests/support/synthetic_package.h"

namespace {

using test_support::FormatFailureOf;
using test_support::HandleLeakCheck;
using test_support::PatternBytes;
using test_support::ScopedTempDir;
using test_support::SyntheticPackage;
using test_support::WritePackage;

// The three operations that read the trailer, each writing into the folder.
struct BlockOperation {
    const char* name;
    std::function<void(const PeReader&, const ScopedTempDir&)> run;
};

const BlockOperation kOperations[] = {
    {"ReadData",
     [](const PeReader& reader, const ScopedTempDir&) {
         std::int32_t version = 0;
         reader.ReadData(version);
     }},
    {"ExtractParams",
     [](const PeReader& reader, const ScopedTempDir& dir) {
         std::int32_t version = 0;
         reader.ExtractParams(version, dir.WindowsFile("out"));
     }},
    {"ExtractPicture",
     [](const PeReader& reader, const ScopedTempDir& dir) {
         reader.ExtractPicture(dir.WindowsFile("out"));
     }},
    {"ExtractIco", [](const PeReader& reader,
                      const ScopedTempDir& dir) { reader.ExtractIco(dir.WindowsFile("out")); }},
};

SyntheticPackage Version2() {
    SyntheticPackage package;
    package.version = 2;
    package.icon = PatternBytes(30, 2);
    package.picture = PatternBytes(40, 3);
    package.params_text = "YWJj";
    return package;
}

struct TrailerCase {
    const char* what;
    std::function<void(SyntheticPackage&)> build;
    // Runs after the package was validated, before the operation.
    std::function<void(const std::filesystem::path&)> change;
};

TEST(PackageTrailer, AMissingOrUnreadableTrailerIsNotATvkPackage) {
    const auto unchanged = [](const std::filesystem::path&) {};
    const auto cut = [](std::uintmax_t bytes) {
        return [bytes](const std::filesystem::path& file) {
            std::filesystem::resize_file(file, std::filesystem::file_size(file) - bytes);
        };
    };
    const TrailerCase cases[] = {
        {"no trailer behind the signature", [](SyntheticPackage& p) { p.with_trailer = false; },
         unchanged},
        {"a certificate table shorter than a trailer",
         [](SyntheticPackage& p) {
             p.with_trailer = false;
             p.signature_size = 8;
         },
         unchanged},
        {"file cut inside the trailer since validation", [](SyntheticPackage&) {}, cut(10)},
        {"file cut before the trailer since validation", [](SyntheticPackage&) {}, cut(500)},
        {"file gone since validation", [](SyntheticPackage&) {},
         [](const std::filesystem::path& file) { std::filesystem::remove(file); }},
    };
    for (const auto& c : cases) {
        for (const auto& operation : kOperations) {
            SCOPED_TRACE(testing::Message() << c.what << ", " << operation.name);
            ScopedTempDir dir;
            SyntheticPackage package = Version2();
            c.build(package);
            const PeReader reader(WritePackage(dir, package));
            c.change(dir.File("package.exe"));
            HandleLeakCheck handles;
            EXPECT_EQ(FormatFailureOf([&] { operation.run(reader, dir); }), "Not a TVK package");
            EXPECT_FALSE(std::filesystem::exists(dir.File("out"))) << "a file was created";
        }
    }
}

}  // namespace
