// The certificate table's checks: what comes off a table is at most one tag
// inside the signature and one behind it, found and refused in one pass
// over the table.
#include "tools/packaging/certificate_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "tests/support/fixtures.h"
#include "tests/support/package_images.h"
#include "tests/support/temp_dir.h"
#include "tools/package_writer/package_writer.h"
#include "tools/tag_writer/der_walker.h"
#include "tools/tag_writer/signature_tag.h"

namespace {

using namespace package_writer;
using namespace tag_writer;
using test_support::FixturePath;
using test_support::TagCertificateTable;
using test_support::ReadBytes;

// SEQUENCE { OID, SET { OCTET STRING (32 bytes) } }: a tag attribute whose
// value is a restore record and the 24 bytes of a trailer.
constexpr std::size_t kNestedValueSize = kRestoreRecordSize + package_layout::kTrailerSize;
constexpr std::size_t kNestedAttributeSize = 2 + (2 + sizeof kTagAttributeOid) + 2 + 2 + 32;

void AppendU32(Bytes& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// A tagged table with count - 1 more tag attributes behind its tag, each
// with a restore record that fits the table without it: what tagging a
// tagged table again and again, inside the tag, would have made. Written in
// one pass: only the enclosing lengths depend on the count.
Bytes NestedTags(const Bytes& tagged, std::size_t count) {
    // ContentInfo, [0], SignedData, signerInfos, SignerInfo, [1].
    std::vector<DerElement> path{ReadDerElement(tagged, 8)};
    while (path.size() < 6) {
        path.push_back(ReadDerChildren(tagged, path.back()).back());
    }
    const DerElement first = ReadDerChildren(tagged, path.back()).front();
    const std::size_t first_size = first.header_size + first.content_size;
    // The contents sizes of the path with n attributes in the [1].
    const auto sizes = [&](std::size_t n) {
        std::vector<std::size_t> content(path.size());
        content.back() = first_size + (n - 1) * kNestedAttributeSize;
        for (std::size_t i = path.size() - 1; i-- > 0;) {
            content[i] = path[i + 1].offset - path[i].content_offset() +
                         DerHeaderSize(content[i + 1]) + content[i + 1];
        }
        return content;
    };
    const auto table_size = [&](std::size_t n) {
        const std::size_t outer = sizes(n)[0];
        return static_cast<std::uint32_t>(8 + DerHeaderSize(outer) + outer);
    };

    Bytes table;
    AppendU32(table, table_size(count));
    table.insert(table.end(), tagged.begin() + 4, tagged.begin() + 8);
    const std::vector<std::size_t> content = sizes(count);
    for (std::size_t i = 0; i < path.size(); ++i) {
        table.push_back(path[i].tag);
        const Bytes length = EncodeDerLength(content[i]);
        table.insert(table.end(), length.begin(), length.end());
        const std::size_t kept_end = i + 1 < path.size() ? path[i + 1].offset : first.end();
        table.insert(table.end(), tagged.begin() + path[i].content_offset(),
                     tagged.begin() + kept_end);
    }
    for (std::size_t n = 2; n <= count; ++n) {
        table.insert(table.end(), {kDerSequence, 0x3A, kDerObjectIdentifier,
                                   static_cast<std::uint8_t>(sizeof kTagAttributeOid)});
        table.insert(table.end(), std::begin(kTagAttributeOid), std::end(kTagAttributeOid));
        table.insert(table.end(),
                     {kDerSet, 0x22, kDerOctetString, static_cast<std::uint8_t>(kNestedValueSize)});
        AppendU32(table, table_size(n - 1));
        AppendU32(table, table_size(n - 1));
        table.insert(table.end(), package_layout::kTrailerSize, 0);
    }
    return table;
}

TEST(SignedCertificateTable, RefusesThousandsOfNestedTagsInOnePassOverTheTable) {
    const Bytes image = ReadBytes(FixturePath("signed_runnable.exe"));
    const Bytes signed_table(image.begin() + ReadHeaders(image).security.offset, image.end());
    TagOptions options;
    options.placement = TagPlacement::kInsideSignature;
    options.params_base64 = "e30=";
    const Bytes tagged = TagCertificateTable(signed_table, options);

    // Two nested tags: each level is a well-formed tag of its own, so the
    // fault would be to unwrap them one after another.
    const Bytes two = NestedTags(tagged, 2);
    EXPECT_TRUE(RemoveTagAttribute(two) == tagged);

    const Bytes many = NestedTags(tagged, 16000);
    ASSERT_GT(many.size(), 900000u);
    const auto start = std::chrono::steady_clock::now();
    for (const Bytes* table : {&two, &many}) {
        try {
            packaging::SignedCertificateTable(*table);
            ADD_FAILURE() << "accepted";
        } catch (const packaging::CommandError& error) {
            EXPECT_NE(std::string(error.what()).find("still carries a tag attribute"),
                      std::string::npos)
                << error.what();
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    // One tag, inside the signature, still comes off.
    EXPECT_TRUE(packaging::SignedCertificateTable(tagged) == signed_table);
}

}  // namespace
