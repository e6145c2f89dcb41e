// Tags inside the signature on really signed packages: the DER stays
// well-formed (OpenSSL parses every table the writer makes, with nothing
// left over, and re-encodes it to the same bytes, so every length and the
// order of the attribute set are canonical DER), the trailer closes both
// the DER and the table, the stub reads the blocks, and removing the tag
// gives the signed table back byte for byte.
#include "tools/tag_writer/signature_tag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "package/pe_reader.h"
#include "tests/support/fixtures.h"
#include "tests/support/package_images.h"
#include "tests/support/temp_dir.h"
#include "tools/package_writer/package_writer.h"
#include "tools/tag_writer/der_walker.h"

#ifdef TVK_TESTS_HAVE_OPENSSL
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#endif

namespace {

using namespace package_writer;
using namespace tag_writer;
using test_support::FixturePath;
using test_support::TagCertificateTable;
using test_support::ReadBytes;
using test_support::ScopedTempDir;
using test_support::WriteBytes;

Bytes TableOf(const Bytes& image) {
    return Bytes(image.begin() + ReadHeaders(image).security.offset, image.end());
}

TagOptions InsideOptions(std::size_t params_size, std::size_t icon_size = 0,
                         std::size_t picture_size = 0) {
    TagOptions options;
    options.placement = TagPlacement::kInsideSignature;
    options.version = icon_size + picture_size > 0 ? 2 : 1;
    options.params_base64.assign(params_size, 'A');
    options.icon = test_support::PatternBytes(icon_size, 7);
    options.picture = test_support::PatternBytes(picture_size, 8);
    return options;
}

// The path from the ContentInfo down to the tag's OCTET STRING, as the
// walker sees it: ContentInfo, [0], SignedData, SignerInfos, SignerInfo,
// [1], the tag attribute, its SET, the OCTET STRING.
std::vector<DerElement> TagPath(const Bytes& table) {
    std::vector<DerElement> path{ReadDerElement(table, 8)};
    const auto last_child = [&] { return ReadDerChildren(table, path.back()).back(); };
    for (int depth = 0; depth < 8; ++depth) {
        path.push_back(last_child());
    }
    return path;
}

#ifdef TVK_TESTS_HAVE_OPENSSL
// OpenSSL parses the whole DER, leaves nothing over and encodes what it
// read to the same bytes.
void ExpectOpenSslReadsCanonicalDer(const Bytes& table, const std::string& what) {
    const unsigned char* cursor = table.data() + 8;
    PKCS7* pkcs7 = d2i_PKCS7(nullptr, &cursor, static_cast<long>(table.size() - 8));
    ASSERT_NE(pkcs7, nullptr) << what << ": OpenSSL cannot parse the signature";
    EXPECT_EQ(cursor, table.data() + table.size()) << what << ": bytes left over";
    unsigned char* encoded = nullptr;
    const int length = i2d_PKCS7(pkcs7, &encoded);
    ASSERT_GT(length, 0) << what;
    EXPECT_TRUE(static_cast<std::size_t>(length) == table.size() - 8 &&
                std::memcmp(encoded, table.data() + 8, table.size() - 8) == 0)
        << what << ": not canonical DER";
    OPENSSL_free(encoded);
    PKCS7_free(pkcs7);
}
#else
void ExpectOpenSslReadsCanonicalDer(const Bytes&, const std::string&) {}
#endif

// What every tagged table must be, whatever it carries.
void ExpectWellFormedTag(const Bytes& signed_table, const Bytes& tagged, const std::string& what) {
    EXPECT_EQ(package_layout::ReadU32(tagged.data(), 0), tagged.size()) << what;
    EXPECT_EQ(tagged.size() % 8, 0u) << what;
    EXPECT_EQ(SignatureEnd(tagged), tagged.size()) << what;
    const auto value = FindTagAttribute(tagged);
    ASSERT_TRUE(value) << what;
    EXPECT_EQ(value->offset + value->size, tagged.size()) << what;
    const package_layout::PackageTrailer trailer =
        package_layout::ParseTrailer(tagged.data() + tagged.size() - package_layout::kTrailerSize);
    EXPECT_EQ(trailer.magic, package_layout::kPackageMagic) << what;
    EXPECT_EQ(static_cast<std::size_t>(trailer.extra_data_offset), value->offset) << what;
    EXPECT_TRUE(RemoveTagAttribute(tagged) == signed_table) << what << ": untag differs";
    ExpectOpenSslReadsCanonicalDer(tagged, what);
}

TEST(SignatureTag, EndsTheDerWithTheTrailerForSingleAndDualSignedPackages) {
    ScopedTempDir dir;
    for (const char* fixture : {"signed_runnable.exe", "signed_dual.exe"}) {
        const Bytes signed_image = ReadBytes(FixturePath(fixture));
        for (const TagOptions& options : {InsideOptions(40), InsideOptions(40, 300, 700)}) {
            const std::string what =
                std::string(fixture) + " version " + std::to_string(options.version);
            const Bytes package = test_support::TagImage(signed_image, options);
            ExpectWellFormedTag(TableOf(signed_image), TableOf(package), what);
            EXPECT_EQ(ReadHeaders(package).security.size, TableOf(package).size()) << what;
            EXPECT_TRUE(test_support::UntagImage(package) == signed_image) << what;

            // The stub finds the blocks where the writer put them.
            WriteBytes(dir.File("package.exe"), package);
            const PeReader reader(dir.WindowsFile("package.exe"));
            std::int32_t version = 0;
            EXPECT_EQ(reader.ReadData(version).size(), 30u) << what;  // 40 'A's decode to 30
            EXPECT_EQ(version, options.version) << what;
            if (options.version == 2) {
                ASSERT_TRUE(reader.ExtractIco(dir.WindowsFile("ico.ico"))) << what;
                EXPECT_TRUE(ReadBytes(dir.File("ico.ico")) == options.icon) << what;
            }
        }
    }
}

TEST(SignatureTag, SortsLastAmongTheSignersOwnAttributesWhichStayAsTheyWere) {
    const Bytes signed_table = TableOf(ReadBytes(FixturePath("signed_dual.exe")));
    const std::vector<DerElement> signed_path = TagPath(signed_table);
    // Before tagging, the nested signature is the only unauthenticated attribute.
    const DerElement nested = signed_path[6];
    const Bytes nested_bytes(signed_table.begin() + nested.offset,
                             signed_table.begin() + nested.end());
    // A tiny tag is shorter than the nested signature, so it needs filler to
    // sort after it; a large one sorts after it by its length alone.
    for (std::size_t params : {std::size_t{4}, std::size_t{9000}}) {
        const TagOptions options = InsideOptions(params);
        const Bytes tagged = TagCertificateTable(signed_table, options);
        const std::vector<DerElement> attributes = ReadDerChildren(tagged, TagPath(tagged)[5]);
        ASSERT_EQ(attributes.size(), 2u);
        EXPECT_TRUE(std::equal(nested_bytes.begin(), nested_bytes.end(),
                               tagged.begin() + attributes[0].offset));
        EXPECT_TRUE(std::lexicographical_compare(
            tagged.begin() + attributes[0].offset, tagged.begin() + attributes[0].end(),
            tagged.begin() + attributes[1].offset, tagged.begin() + attributes[1].end()))
            << params << " bytes of parameters";
        ExpectWellFormedTag(signed_table, tagged, std::to_string(params) + " bytes");
    }
}

// Each length on the path changes its encoding at 128, 256 and 65536 bytes
// of contents. For every element and step that the tag can reach, the
// largest tag below the step and the smallest at or above it are both
// well-formed and come off again exactly.
TEST(SignatureTag, RewritesEveryEnclosingLengthAcrossTheDerLengthSteps) {
    const Bytes signed_table = TableOf(ReadBytes(FixturePath("signed_runnable.exe")));
    const auto content_size = [&](std::size_t params, std::size_t depth) {
        return TagPath(TagCertificateTable(signed_table, InsideOptions(params)))[depth]
            .content_size;
    };
    constexpr std::size_t kLargest = 70000;
    int boundaries = 0;
    for (std::size_t depth = 0; depth < 9; ++depth) {
        for (std::size_t step : {std::size_t{128}, std::size_t{256}, std::size_t{65536}}) {
            if (content_size(0, depth) >= step || content_size(kLargest, depth) < step) {
                continue;
            }
            std::size_t low = 0;          // below the step
            std::size_t high = kLargest;  // at or above it
            while (high - low > 1) {
                const std::size_t middle = (low + high) / 2;
                (content_size(middle, depth) >= step ? high : low) = middle;
            }
            for (std::size_t params : {low, high}) {
                const Bytes tagged = TagCertificateTable(signed_table, InsideOptions(params));
                const DerElement element = TagPath(tagged)[depth];
                EXPECT_EQ(element.header_size, DerHeaderSize(element.content_size));
                ExpectWellFormedTag(signed_table, tagged,
                                    "depth " + std::to_string(depth) + ", step " +
                                        std::to_string(step) + ", parameters " +
                                        std::to_string(params));
            }
            ++boundaries;
        }
    }
    // The OCTET STRING, its SET, the attribute and the new [1] cross all
    // three steps; the enclosing elements, longer than 256 already, cross
    // 65536.
    EXPECT_EQ(boundaries, 4 * 3 + 5);
}

TEST(SignatureTag, CarriesBlocksUpToTheLimit) {
    const Bytes signed_table = TableOf(ReadBytes(FixturePath("signed_runnable.exe")));
    const std::size_t limit = package_layout::kBlockSizeLimit;
    const Bytes tagged = TagCertificateTable(signed_table, InsideOptions(limit, limit, 1));
    ExpectWellFormedTag(signed_table, tagged, "blocks at the limit");
    EXPECT_THROW(TagCertificateTable(signed_table, InsideOptions(4, limit + 1)), TagWriterError);
}

TEST(SignatureTag, RefusesSignaturesItCannotWalkWithoutReadingPastThem) {
    const Bytes signed_table = TableOf(ReadBytes(FixturePath("signed_runnable.exe")));
    const DerElement content_info = ReadDerElement(signed_table, 8);
    const auto changed = [&](const std::function<void(Bytes&)>& change) {
        Bytes table = signed_table;
        change(table);
        return table;
    };
    // The ContentInfo's length octets lie at 9 and 10 (0x82 and two octets).
    ASSERT_EQ(signed_table[9], 0x82);
    struct Row {
        const char* what;
        Bytes table;
    };
    const Row rows[] = {
        {"cut short", Bytes(signed_table.begin(), signed_table.begin() + 200)},
        {"an indefinite length", changed([](Bytes& t) { t[9] = 0x80; })},
        {"a length longer than the table", changed([](Bytes& t) { t[10] = 0xFF; })},
        {"five length octets", changed([](Bytes& t) { t[9] = 0x85; })},
        {"a length not in its shortest form",
         changed([](Bytes& t) { t.insert(t.begin() + 10, 0x00), t[9] = 0x83; })},
        {"not SignedData", changed([&](Bytes& t) { t[content_info.content_offset() + 10] ^= 1; })},
        {"data behind the signature", changed([](Bytes& t) { t.back() = 1; })},
        {"no signature at all", Bytes(8, 0)},
    };
    for (const Row& row : rows) {
        EXPECT_THROW(TagCertificateTable(row.table, InsideOptions(8)), TagWriterError) << row.what;
        EXPECT_FALSE(FindTagAttribute(row.table)) << row.what;
        EXPECT_THROW(RemoveTagAttribute(row.table), TagWriterError) << row.what;
    }
}

}  // namespace

// The restore record lies outside the signed hash like the rest of the tag:
// a record that claims a larger signed table than the signature and its
// padding is refused, not allocated (found by fuzzing: a claim of 3.5 GiB).
TEST(SignatureTag, UntagRefusesARestoreRecordThatDoesNotFitTheSignature) {
    const Bytes signed_table = TableOf(ReadBytes(FixturePath("signed_runnable.exe")));
    const Bytes tagged = TagCertificateTable(signed_table, InsideOptions(8));
    const std::size_t record = tagged.size() - package_layout::kTrailerSize - kRestoreRecordSize;
    const std::uint32_t length = package_layout::ReadU32(signed_table.data(), 0);
    const std::uint32_t claims[][2] = {
        {0xE0E0E0E0, 0xE0E0E0E0}, {length + 8, length + 8}, {length - 8, length}, {length, 0}};
    for (const auto& claim : claims) {
        Bytes changed = tagged;
        for (std::size_t i = 0; i < 2; ++i) {
            for (std::size_t b = 0; b < 4; ++b) {
                changed[record + 4 * i + b] = static_cast<std::uint8_t>(claim[i] >> (8 * b));
            }
        }
        EXPECT_THROW(RemoveTagAttribute(changed), TagWriterError) << claim[0] << " " << claim[1];
    }
}
