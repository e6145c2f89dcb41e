// The size a tagged table will have, from the blocks' length alone (what a
// server announces before it builds a download), against the pieces the
// writer then writes, on really signed tables.
#include "tools/tag_writer/tag_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"
#include "tools/package_writer/package_writer.h"

namespace {

using namespace tag_writer;

Bytes SignedTableOf(const char* fixture) {
    const Bytes image = test_support::ReadBytes(test_support::FixturePath(fixture));
    return Bytes(image.begin() + package_writer::ReadHeaders(image).security.offset, image.end());
}

// Inside the signature, each DER length that encloses the tag grows by an
// octet where its contents reach 128, 256, 65536 and 2^24 bytes (blocks of
// up to three times 20 MiB reach no further step). Such an element's
// contents exceed the blocks by less than the signed table's size plus a
// few headers (unless filler keeps a small tag sorting after a longer
// attribute, while its size stays put), so blocks sizes up to that far below
// a step cross the step of every element. Behind the signature no length is
// rewritten: the sizes on either side of each step suffice. (Parameters
// blocks around 128, 256 and 65536 bytes are written inside the signature to
// their planned size in signature_tag_test.cpp; here the blocks are an icon,
// whose bytes the pieces share rather than copy.)
TEST(TagWriter, TableSizeIsTheSizeOfThePiecesAcrossTheDerLengthSteps) {
    struct Row {
        const char* what;
        const char* fixture;
        TagPlacement placement;
        std::int32_t version;
    };
    const Row rows[] = {
        {"inside, in a new [1]", "signed_runnable.exe", TagPlacement::kInsideSignature, 2},
        {"inside, beside a nested signature", "signed_dual.exe", TagPlacement::kInsideSignature, 2},
        {"behind, version 1", "signed_runnable.exe", TagPlacement::kBehindSignature, 1},
        {"behind, version 2", "signed_runnable.exe", TagPlacement::kBehindSignature, 2},
    };
    constexpr std::size_t kSteps[] = {0x80, 0x100, 0x10000, 0x1000000};
    const Bytes icon(kSteps[3], 0x5A);
    const std::string params(kSteps[3], 'A');
    for (const Row& row : rows) {
        const TagWriter writer(SignedTableOf(row.fixture), row.placement);
        const std::size_t window =
            row.placement == TagPlacement::kInsideSignature ? writer.signed_table().size() + 64 : 1;
        for (const std::size_t step : kSteps) {
            for (std::size_t size = step > window ? step - window : 0; size <= step; ++size) {
                TagBlocks blocks;
                blocks.version = row.version;
                if (row.version == 2) {
                    blocks.icon = ByteView(icon).first(size);
                } else {
                    blocks.params_base64 = std::string_view(params).substr(0, size);
                }
                ASSERT_EQ(writer.TableSize(row.version, size), writer.Pieces(blocks).size())
                    << row.what << ", " << size << " bytes of blocks";
            }
        }
    }
}

}  // namespace
