// The archive marker search on bytes with markers at known places, and the
// relaxed-marker attribute found in signatures that OpenSSL encoded (an
// encoder of its own, not this project's DER code), through tag and inspect.
#include "tools/package_writer/archive_markers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/fixtures.h"
#include "tests/support/package_images.h"
#include "tests/support/temp_dir.h"
#include "tools/package_writer/package_writer.h"
#include "tools/tag_writer/pe_checksum.h"
#include "tools/tvkpack/tvkpack_commands.h"

#ifdef TVK_TESTS_HAVE_OPENSSL
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#endif

namespace {

using namespace std::string_view_literals;
using package_writer::Bytes;
using test_support::FixturePath;
using test_support::ReadBytes;
using test_support::ScopedTempDir;
using test_support::WriteBytes;

TEST(FindArchiveMarkers, FindsEachWellKnownValueWhereItStartsAndNothingElse) {
    struct Row {
        const char* what;
        std::string_view inserted;
        std::size_t at;
        std::vector<std::pair<std::string_view, std::size_t>> expected;
    };
    const Row rows[] = {
        {"zip local file header at the start", "PK\x03\x04"sv, 0, {{"PK\x03\x04"sv, 0}}},
        {"zip central directory and end records side by side",
         "PK\x01\x02PK\x05\x06"sv,
         10,
         {{"PK\x01\x02"sv, 10}, {"PK\x05\x06"sv, 14}}},
        {"cabinet", "MSCF"sv, 50, {{"MSCF"sv, 50}}},
        {"RAR 5 signature (RAR 4 shares its start)",
         "Rar!\x1A\x07\x01\x00"sv,
         60,
         {{"Rar!\x1A\x07"sv, 60}}},
        {"7z", "7z\xBC\xAF\x27\x1C"sv, 100, {{"7z\xBC\xAF\x27\x1C"sv, 100}}},
        {"EGG at the very end", "EGGA"sv, 252, {{"EGGA"sv, 252}}},
        {"a RAR signature cut off by the end", "Rar!\x1A"sv, 251, {}},
        {"a near miss", "PK\x03\x05"sv, 30, {}},
        {"overlapping values", "EGGAEGGA"sv, 40, {{"EGGA"sv, 40}, {"EGGA"sv, 44}}},
    };
    const Bytes clean = test_support::PatternBytes(256, 5);
    ASSERT_TRUE(package_writer::FindArchiveMarkers(clean).empty());
    for (const Row& row : rows) {
        Bytes bytes = clean;
        std::copy(row.inserted.begin(), row.inserted.end(), bytes.begin() + row.at);
        std::vector<std::pair<std::string_view, std::size_t>> found;
        for (const package_writer::MarkerMatch& match : package_writer::FindArchiveMarkers(bytes)) {
            found.emplace_back(match.marker->value, match.offset);
        }
        EXPECT_EQ(found, row.expected) << row.what;
    }
    // Bytes that are not printable ASCII are named as \xNN.
    EXPECT_EQ(package_writer::MarkerText(package_writer::ArchiveMarkers()[5]),
              "7z\\xBC\\xAF'\\x1C");
}

// A file is scanned in chunks: a marker that a chunk boundary cuts, or that
// starts in the bytes a chunk keeps from the one before, is found once, in
// order.
TEST(ArchiveMarkerScan, FindsInPartsWhatFindArchiveMarkersFindsInTheWhole) {
    Bytes bytes = test_support::PatternBytes(300, 7);
    for (const auto& [value, at] : {std::pair{"7z\xBC\xAF\x27\x1C"sv, std::size_t{0}},
                                    {"EGGAEGGA"sv, 96},
                                    {"Rar!\x1A\x07"sv, 126},
                                    {"PK\x05\x06"sv, 296}}) {
        std::copy(value.begin(), value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    const auto offsets = [](const std::vector<package_writer::MarkerMatch>& matches) {
        std::vector<std::pair<std::string_view, std::size_t>> found;
        for (const package_writer::MarkerMatch& match : matches) {
            found.emplace_back(match.marker->value, match.offset);
        }
        return found;
    };
    const auto whole = offsets(package_writer::FindArchiveMarkers(bytes));
    ASSERT_EQ(whole.size(), 5u);
    for (const std::size_t chunk : {1, 3, 5, 6, 7, 100, 128, 300}) {
        package_writer::ArchiveMarkerScan scan;
        for (std::size_t at = 0; at < bytes.size(); at += chunk) {
            scan.Add(std::span(bytes).subspan(at, std::min(chunk, bytes.size() - at)));
        }
        EXPECT_EQ(offsets(scan.Finish()), whole) << chunk;
    }
}

#ifdef TVK_TESTS_HAVE_OPENSSL

// The certificate table of a signed image with its signature given one more
// signed attribute of type oid (an INTEGER 0), as OpenSSL encodes it: the
// signature no longer verifies, but its structure is a real signer's.
Bytes WithSignedAttribute(const Bytes& image, const char* oid) {
    const auto table = package_writer::ReadHeaders(image).security;
    const unsigned char* cursor = image.data() + table.offset + 8;
    const std::unique_ptr<PKCS7, decltype(&PKCS7_free)> pkcs7(
        d2i_PKCS7(nullptr, &cursor, static_cast<long>(table.size - 8)), PKCS7_free);
    EXPECT_NE(pkcs7, nullptr);
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(pkcs7.get()), 0);
    const std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> type(OBJ_txt2obj(oid, 1),
                                                                         ASN1_OBJECT_free);
    const unsigned char zero = 0;
    EXPECT_NE(X509at_add1_attr_by_OBJ(&signer->auth_attr, type.get(), V_ASN1_INTEGER, &zero, 1),
              nullptr);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS7(pkcs7.get(), &der);
    EXPECT_GT(length, 0);
    // WIN_CERTIFICATE: dwLength, revision 2.0, PKCS#7 signed data; padded to 8.
    const std::uint32_t record = 8 + static_cast<std::uint32_t>(length);
    Bytes result(der, der + length);
    const std::uint8_t header[8] = {static_cast<std::uint8_t>(record),
                                    static_cast<std::uint8_t>(record >> 8),
                                    static_cast<std::uint8_t>(record >> 16),
                                    static_cast<std::uint8_t>(record >> 24),
                                    0x00,
                                    0x02,
                                    0x02,
                                    0x00};
    result.insert(result.begin(), std::begin(header), std::end(header));
    OPENSSL_free(der);
    result.resize((result.size() + 7) / 8 * 8, 0);
    return result;
}

// The relaxed-marker attribute is found by its exact type among the signer's
// signed attributes, in an untagged and a tagged table; tag leaves the
// marker warning out for such a signature and inspect says why.
TEST(HasRelaxedMarkerCheck, FindsTheSignedAttributeThatOpenSslEncoded) {
    struct Row {
        const char* what;
        const char* added;  // the type of the signed attribute added, if any
        bool relaxed;
    };
    const Row rows[] = {
        {"osslsigncode's signature", nullptr, false},
        {"with the relaxed-marker attribute", "1.3.6.1.4.1.311.2.6.1", true},
        {"with an attribute of the neighbouring type", "1.3.6.1.4.1.311.2.6.2", false},
    };
    ScopedTempDir dir;
    const Bytes signed_image = ReadBytes(FixturePath("signed_runnable.exe"));
    const auto security = package_writer::ReadHeaders(signed_image).security;
    Bytes picture = test_support::PatternBytes(500, 9);
    picture[0] = 'B', picture[1] = 'M';
    std::copy_n("EGGA", 4, picture.begin() + 100);
    WriteBytes(dir.File("picture.bmp"), picture);
    WriteBytes(dir.File("params.json"), Bytes{'{', '}'});
    for (const Row& row : rows) {
        const Bytes table = row.added
                                ? WithSignedAttribute(signed_image, row.added)
                                : Bytes(signed_image.begin() + security.offset, signed_image.end());
        EXPECT_EQ(package_writer::HasRelaxedMarkerCheck(table), row.relaxed) << row.what;

        Bytes image(signed_image.begin(), signed_image.begin() + security.offset);
        image.insert(image.end(), table.begin(), table.end());
        test_support::SetSecurityDirectory(image, security.offset,
                                           static_cast<std::uint32_t>(table.size()));
        tag_writer::UpdatePeChecksum(
            image, static_cast<std::size_t>(package_writer::ReadHeaders(image).nt_offset));
        WriteBytes(dir.File("signed.exe"), image);
        std::ostringstream out, err;
        ASSERT_EQ(tvkpack::RunTvkpack(
                      {"tag", dir.File("signed.exe").string(), "-o", dir.File("setup.exe").string(),
                       "--params", dir.File("params.json").string(), "--picture",
                       dir.File("picture.bmp").string()},
                      out, err),
                  tvkpack::kExitSuccess)
            << row.what << ": " << err.str();
        EXPECT_EQ(err.str().find("\"EGGA\"") != std::string::npos, !row.relaxed)
            << row.what << ": " << err.str();

        std::ostringstream json;
        tvkpack::RunTvkpack({"inspect", dir.File("setup.exe").string(), "--json"}, json, err);
        const nlohmann::json report = nlohmann::json::parse(json.str());
        EXPECT_EQ(report["layout"]["relaxed_marker_check"], row.relaxed) << row.what;
        EXPECT_EQ(report["archive_markers"].size(), 1u) << row.what;
        EXPECT_EQ(report["warnings"].size(), row.relaxed ? 0u : 1u) << row.what;
        std::ostringstream text;
        tvkpack::RunTvkpack({"inspect", dir.File("setup.exe").string()}, text, err);
        EXPECT_EQ(text.str().find("makes Windows skip that check") != std::string::npos,
                  row.relaxed)
            << row.what << ": " << text.str();
    }
    // A signature cut short cannot be walked: no answer rather than a guess.
    const Bytes cut(signed_image.begin() + security.offset,
                    signed_image.begin() + security.offset + 200);
    EXPECT_THROW(package_writer::HasRelaxedMarkerCheck(cut), tag_writer::TagWriterError);
}

#endif

}  // namespace
