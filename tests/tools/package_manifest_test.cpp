// A package's manifest (`tvkpack manifest`): what an edge reads back from it
// tags the package exactly as `tvkpack tag` does, and a manifest that does
// not describe a package that can be tagged is refused at load.
#include "tools/download/package_manifest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tvkpack_images.h"
#include "tools/packaging/base64_encode.h"
#include "tools/tvkpack/tvkpack_commands.h"

namespace {

using test_support::Bytes;
using test_support::FixturePath;
using test_support::ReadBytes;
using test_support::ScopedTempDir;

std::string ManifestOf(const std::string& package) {
    const ScopedTempDir dir;
    const auto output = dir.File("setup.manifest.json");
    tvkpack::ManifestCommand(FixturePath(package), output);
    const Bytes text = ReadBytes(output);
    return std::string(text.begin(), text.end());
}

TEST(PackageManifest, TagsFromTheManifestAloneAsTvkpackTagsTheFile) {
    const Bytes signed_package = ReadBytes(FixturePath("signed_package.exe"));
    const download::PackageManifest manifest =
        download::ReadManifest(ManifestOf("signed_package.exe"));
    const auto source = download::ManifestTagSource(manifest);

    packaging::TagContent content;
    const std::string params = "{\"product\":\"Demo\"}";
    content.params_json.assign(params.begin(), params.end());
    content.icon = {0, 0, 1, 0, 9, 8, 7};
    content.picture = Bytes(333, 0x5A);
    content.picture[0] = 'B', content.picture[1] = 'M';
    const Bytes expected = test_support::TvkpackTag(signed_package, content).package;

    const std::string params_base64 = packaging::Base64Encode(content.params_json);
    tag_writer::TagBlocks blocks;
    blocks.version = 2;
    blocks.params_base64 = params_base64;
    blocks.icon = content.icon;
    blocks.picture = content.picture;
    tag_writer::BlockSum icon_sum, picture_sum;
    icon_sum.sum.Add(content.icon.data(), content.icon.size(), 0);
    icon_sum.size = content.icon.size();
    picture_sum.sum.Add(content.picture.data(), content.picture.size(), 0);
    picture_sum.size = content.picture.size();
    const download::TaggedTable tagged = source->Tag(blocks, icon_sum, picture_sum);

    // The body as the origin holds it, the two fields set, the table behind.
    const download::TagLayout& layout = source->layout();
    Bytes copy(signed_package.begin(),
               signed_package.begin() + static_cast<std::ptrdiff_t>(layout.table_offset));
    tag_writer::WriteU32(copy, layout.size_offset, tagged.size_field);
    ASSERT_TRUE(tagged.checksum.has_value());
    tag_writer::WriteU32(copy, layout.checksum_offset, *tagged.checksum);
    const Bytes table = tagged.table.Concatenate();
    copy.insert(copy.end(), table.begin(), table.end());
    EXPECT_EQ(tagged.size, copy.size());
    EXPECT_EQ(copy, expected);
}

TEST(PackageManifest, RefusesWhatDoesNotDescribeATaggablePackage) {
    const nlohmann::ordered_json good =
        nlohmann::ordered_json::parse(ManifestOf("signed_package.exe"));
    ASSERT_NO_THROW(download::ReadManifest(good.dump()));
    const std::string table = good["signed_table"].get<std::string>();
    const struct {
        const char* what;
        const char* member;
        nlohmann::ordered_json value;
    } cases[] = {
        {"another version", "tvk_package_manifest", 2},
        {"an unknown member", "comment", "x"},
        {"fields of two headers", "size_offset", good["checksum_offset"].get<int>() + 4},
        {"a checksum sum the bytes cannot reach", "checksum_prefix_sum", 1ull << 40},
        {"a table that is not base64", "signed_table", "*" + table},
        {"a table beyond the file", "file_size", good["table_offset"].get<int>() + 8},
        {"a table without a signature", "signed_table", packaging::Base64Encode(Bytes(16, 0))},
        {"a content hash of another form", "content_sha256", "ABC"},
        {"a package of 2 GiB", "file_size", 0x80000000ull},
    };
    for (const auto& c : cases) {
        nlohmann::ordered_json wrong = good;
        wrong[c.member] = c.value;
        EXPECT_THROW(download::ManifestTagSource(download::ReadManifest(wrong.dump())),
                     packaging::CommandError)
            << c.what;
    }
    nlohmann::ordered_json missing = good;
    missing.erase("checksum_set");
    EXPECT_THROW(download::ReadManifest(missing.dump()), packaging::CommandError);
}

TEST(PackageManifest, TvkpackRefusesAnUnsignedPackage) {
    EXPECT_THROW(ManifestOf("unsigned_package.exe"), packaging::CommandError);
}

}  // namespace
