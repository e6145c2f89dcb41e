#include "tools/package_writer/package_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "package/pe_reader.h"
#include "tests/support/fixtures.h"
#include "tests/support/package_deformations.h"
#include "tests/support/package_images.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace package_writer;
using tag_writer::TagWriterError;
using test_support::EmbedImage;
using test_support::FixturePath;
using test_support::ReadBytes;
using test_support::ReadTrailer;
using test_support::ScopedTempDir;
using test_support::TagImage;
using test_support::UntagImage;
using test_support::WriteBytes;

Bytes Stub() {
    return ReadBytes(FixturePath("tiny_stub.exe"));
}
Bytes Installer() {
    return ReadBytes(FixturePath("tiny_installer.exe"));
}
Bytes SignedPackage() {
    return ReadBytes(FixturePath("signed_package.exe"));
}

std::int32_t I32At(const Bytes& bytes, std::size_t at) {
    return package_layout::ReadI32(bytes.data(), at);
}

TEST(PackageWriterEmbed, PutsTheInstallerDirectlyBehindTheLastSectionData) {
    const Bytes stub = Stub();
    const Bytes installer = Installer();
    const Bytes package = EmbedImage(stub, installer);
    // The same bytes as the unsigned image the fixture script signed.
    EXPECT_TRUE(package == ReadBytes(FixturePath("unsigned_package.exe")));
    EXPECT_EQ(EndOfSectionData(ReadHeaders(stub), stub.size()), stub.size());
    EXPECT_TRUE(std::equal(installer.begin(), installer.end(), package.begin() + stub.size()));
}

TEST(PackageWriterEmbed, RefusesStubsItCannotPackage) {
    struct Row {
        const char* what;
        std::function<Bytes()> stub;
        Bytes installer;
    };
    const std::vector<Row> rows = {
        {"data behind the last section",
         [] {
             Bytes stub = Stub();
             test_support::AppendBytes(stub, 1);
             return stub;
         },
         Installer()},
        {"a stub that is already signed", [] { return ReadBytes(FixturePath("signed_stub.exe")); },
         Installer()},
        {"a PE32+ stub",
         [] {
             Bytes stub = Stub();
             test_support::SetOptionalMagic(stub, 0x20B);
             return stub;
         },
         Installer()},
        {"a last section that reaches beyond the stub",
         [] {
             Bytes stub = Stub();
             stub.resize(stub.size() - 1);
             return stub;
         },
         Installer()},
        {"an empty installer", [] { return Stub(); }, Bytes{}},
        {"no PE headers at all", [] { return Bytes(100, 0); }, Installer()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_THROW(EmbedImage(row.stub(), row.installer), PackageWriterError);
    }
}

TEST(PackageWriterTag, WritesVersion1AreaBehindTheSignatureAndUntagRestoresTheSignedFile) {
    const Bytes signed_file = SignedPackage();
    const SecurityDirectory table = ReadHeaders(signed_file).security;
    TagOptions options;
    options.params_base64 = "eyJuYW1lIjoiVFZLIn0=";
    const Bytes package = TagImage(signed_file, options);

    const std::size_t area = options.params_base64.size() + 16;
    ASSERT_EQ(package.size(), signed_file.size() + area);
    EXPECT_EQ(ReadHeaders(package).security.offset, table.offset);
    EXPECT_EQ(ReadHeaders(package).security.size, table.size + area);
    EXPECT_EQ(std::string(package.begin() + signed_file.size(),
                          package.begin() + signed_file.size() + options.params_base64.size()),
              options.params_base64);
    // The 16-byte trailer: parameters size, extra data offset, version, magic.
    const std::size_t trailer = package.size() - 16;
    EXPECT_EQ(I32At(package, trailer), static_cast<std::int32_t>(options.params_base64.size()));
    EXPECT_EQ(I32At(package, trailer + 4), static_cast<std::int32_t>(table.size));
    EXPECT_EQ(I32At(package, trailer + 8), 1);
    EXPECT_EQ(std::string(package.end() - 4, package.end()), "TVKS");

    EXPECT_TRUE(UntagImage(package) == signed_file);
}

TEST(PackageWriterTag, WritesVersion2BlocksInIconPictureParametersOrder) {
    const Bytes signed_file = SignedPackage();
    const SecurityDirectory table = ReadHeaders(signed_file).security;
    TagOptions options;
    options.version = 2;
    options.icon = test_support::PatternBytes(33, 1);
    options.picture = test_support::PatternBytes(250, 2);
    options.params_base64 = "e30=";
    const Bytes package = TagImage(signed_file, options);

    const package_layout::PackageTrailer trailer = ReadTrailer(package);
    EXPECT_EQ(trailer.icon_size, 33);
    EXPECT_EQ(trailer.picture_size, 250);
    EXPECT_EQ(trailer.params_size, 4);
    EXPECT_EQ(trailer.version, 2);
    EXPECT_EQ(trailer.magic, package_layout::kPackageMagic);
    const std::size_t blocks = table.offset + static_cast<std::size_t>(trailer.extra_data_offset);
    EXPECT_EQ(blocks, signed_file.size());
    EXPECT_TRUE(Bytes(package.begin() + blocks, package.begin() + blocks + 33) == options.icon);
    EXPECT_TRUE(Bytes(package.begin() + blocks + 33, package.begin() + blocks + 283) ==
                options.picture);
    EXPECT_EQ(std::string(package.begin() + blocks + 283, package.begin() + blocks + 287), "e30=");
    EXPECT_EQ(package.size(), blocks + 287 + 24);
    EXPECT_EQ(ReadHeaders(package).security.size, package.size() - table.offset);
}

// Malformed trailers are written over a tagged package's (test support).
TEST(PackageWriterTag, ReadsOverriddenTrailerFields) {
    TagOptions options;
    options.version = 2;
    options.params_base64 = "QUJD";
    Bytes package = TagImage(SignedPackage(), options);
    test_support::OverrideTrailer(package, {.icon_size = -1,
                                            .picture_size = 0x1400001,
                                            .params_size = 7,
                                            .extra_data_offset = -20,
                                            .version = 3,
                                            .magic = 0x534B5655});
    const package_layout::PackageTrailer trailer = ReadTrailer(package);
    EXPECT_EQ(trailer.icon_size, -1);
    EXPECT_EQ(trailer.picture_size, 0x1400001);
    EXPECT_EQ(trailer.params_size, 7);
    EXPECT_EQ(trailer.extra_data_offset, -20);
    EXPECT_EQ(trailer.version, 3);
    EXPECT_EQ(trailer.magic, 0x534B5655u);
}

TEST(PackageWriterTag, RefusesWhatItCannotTag) {
    TagOptions v1_with_icon;
    v1_with_icon.icon = Bytes(3, 1);
    TagOptions version_3;
    version_3.version = 3;
    Bytes appended = SignedPackage();
    test_support::AppendBytes(appended, 8);
    // The tag writer refuses the blocks, the package writer the images.
    EXPECT_THROW(TagImage(SignedPackage(), v1_with_icon), TagWriterError);
    EXPECT_THROW(TagImage(SignedPackage(), version_3), TagWriterError);
    EXPECT_THROW(TagImage(ReadBytes(FixturePath("unsigned_package.exe")), TagOptions{}),
                 PackageWriterError);
    EXPECT_THROW(TagImage(appended, TagOptions{}), PackageWriterError);
}

TEST(PackageWriterSynthetic, BuildsAnImageThatTheReaderAccepts) {
    test_support::SyntheticPeOptions options;
    options.sections = {{0x200, 0x100}, {0x300, 0x40}};
    options.tail = test_support::PatternBytes(0x51);
    Bytes image = test_support::BuildSyntheticPe(options);
    ASSERT_EQ(image.size(), 0x340u + 0x51u);
    EXPECT_EQ(image[0x200], 1);
    EXPECT_EQ(image[0x33F], 2);
    const ImageHeaders headers = ReadHeaders(image);
    EXPECT_EQ(headers.nt_offset, 64);
    EXPECT_EQ(headers.optional_magic, package_layout::kPe32Magic);
    ASSERT_EQ(headers.sections.size(), 2u);
    EXPECT_EQ(headers.sections[1].pointer, 0x300u);
    EXPECT_EQ(headers.sections[1].size, 0x40u);

    test_support::AttachFakeSignature(image, 40);
    ASSERT_EQ(image.size(), 0x398u + 40u);  // padded to 8 bytes, then the record

    ScopedTempDir dir;
    WriteBytes(dir.File("synthetic.exe"), image);
    const PeReader reader(dir.WindowsFile("synthetic.exe"));
    EXPECT_EQ(reader.certificate_table_offset(), 0x398);
    EXPECT_EQ(reader.certificate_table_size(), 40);
    EXPECT_EQ(reader.installer_offset(), 0x340);
    EXPECT_EQ(reader.installer_length(), 0x58);
}

}  // namespace
