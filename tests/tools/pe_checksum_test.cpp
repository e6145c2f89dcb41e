// The PE checksum as the linker and osslsigncode set it, from whole images
// and from pieces summed in any order (as the download server sums them).
#include "tools/tag_writer/pe_checksum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"
#include "tools/package_writer/package_writer.h"

namespace {

using namespace tag_writer;
using test_support::FixturePath;
using test_support::ReadBytes;

std::size_t NtOffset(const Bytes& image) {
    return static_cast<std::size_t>(package_writer::ReadHeaders(image).nt_offset);
}

TEST(PeChecksum, AgreesWithTheLinkerAndOsslsigncode) {
    for (const char* name : {"tiny_stub.exe", "tiny_installer.exe", "signed_package.exe",
                             "signed_runnable.exe", "signed_stub.exe"}) {
        const Bytes image = ReadBytes(FixturePath(name));
        const std::size_t nt = NtOffset(image);
        EXPECT_NE(StoredPeChecksum(image, nt), 0u) << name;
        EXPECT_EQ(ComputePeChecksum(image, nt + kChecksumOffset), StoredPeChecksum(image, nt))
            << name;
    }
}

TEST(PeChecksum, FoldsCarriesSkipsItsFieldAndAddsTheLength) {
    struct Row {
        const char* what;
        Bytes bytes;
        std::size_t field;
        std::uint32_t expected;
    };
    const Row rows[] = {
        {"an odd last byte is a word of its own", {0x01, 0x02, 0x03}, 100, 0x0204 + 3},
        {"a carry is folded back", {0xFF, 0xFF, 0x02, 0x00}, 100, 0x0002 + 4},
        {"the checksum field counts as zero", {0xFF, 0xFF, 0x02, 0x00, 9, 9, 9, 9}, 4, 0x0002 + 8},
        {"an empty file", {}, 0, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ComputePeChecksum(row.bytes, row.field), row.expected) << row.what;
    }
}

TEST(PeChecksumSum, PiecesAddedInAnyOrderGiveTheWholeFilesChecksum) {
    const Bytes image = ReadBytes(FixturePath("signed_package.exe"));
    const std::size_t field = NtOffset(image) + kChecksumOffset;
    // Cut points after the checksum field, odd and even, so that pieces start
    // on a word's high byte too.
    const std::vector<std::vector<std::size_t>> cuts = {{},
                                                        {field + 4 + 1},
                                                        {field + 4 + 2, field + 4 + 3},
                                                        {1001, 1002, 4097},
                                                        {image.size() - 1}};
    for (const auto& points : cuts) {
        std::vector<std::size_t> bounds = {0, field, field + kChecksumSize};
        bounds.insert(bounds.end(), points.begin(), points.end());
        bounds.push_back(image.size());
        PeChecksumSum sum;
        PeChecksumSum moved;  // each piece's sum gathered at 0, then moved to its place
        // Backwards, leaving out the checksum field (the second piece).
        for (std::size_t i = bounds.size() - 1; i-- > 0;) {
            if (i != 1) {
                PeChecksumSum piece;
                piece.Add(image.data() + bounds[i], bounds[i + 1] - bounds[i], bounds[i]);
                sum.Add(piece);
                PeChecksumSum at_zero;
                at_zero.Add(image.data() + bounds[i], bounds[i + 1] - bounds[i], 0);
                moved.AddAt(at_zero, bounds[i]);
            }
        }
        EXPECT_EQ(sum.Checksum(image.size()), ComputePeChecksum(image, field)) << points.size();
        EXPECT_EQ(moved.Checksum(image.size()), ComputePeChecksum(image, field)) << points.size();
    }
    const Bytes zeros(6, 0);
    PeChecksumSum nothing;
    nothing.Add(zeros.data(), zeros.size(), 0);
    EXPECT_EQ(nothing.Checksum(6), 6u) << "all-zero words sum to 0, not 0xFFFF";
    // A piece whose sum is a multiple of 0xFFFF, moved to an odd position,
    // still makes a sum that is not zero.
    const Bytes ones = {0xFF, 0xFF};
    PeChecksumSum all_ones;
    all_ones.Add(ones.data(), ones.size(), 0);
    PeChecksumSum file;  // {0x00, 0xFF, 0xFF}: the words 0xFF00 and 0x00FF
    file.AddAt(all_ones, 1);
    EXPECT_EQ(file.Checksum(3), ComputePeChecksum({0x00, 0xFF, 0xFF}, 3));
}

TEST(PeChecksumSum, GathersLongRunsOfWordsWithoutLosingACarry) {
    // Long enough for the word lanes to be emptied several times, of the
    // largest words, at every alignment of the start and the length.
    const Bytes ones(3 * 0x80000 + 7, 0xFF);
    for (const std::size_t start : {0, 1, 2, 5}) {
        for (const std::size_t cut : {0, 1, 6}) {
            const std::size_t size = ones.size() - start - cut;
            PeChecksumSum sum;
            sum.Add(ones.data() + start, size, start);
            // Whole words of 0xFFFF, and an odd byte at either end as 0xFF00
            // (a word's high byte) or 0x00FF; a carry lost on the way would
            // change the sum modulo 0xFFFF.
            const std::size_t rest = size - start % 2;
            const std::uint64_t words =
                rest / 2 * std::uint64_t{0xFFFF} + 0xFF00 * (start % 2) + 0xFF * (rest % 2);
            const std::uint64_t folded = (words - 1) % 0xFFFF + 1;
            EXPECT_EQ(sum.Checksum(size), folded + size) << start << " " << cut;
        }
    }
}

// A copy that changes only its certificate table and two header fields
// finds its checksum from the stored one, without reading what it keeps.
TEST(PeChecksumSum, TheStoredChecksumGivesTheSumOfWhatACopyKeeps) {
    const Bytes image = ReadBytes(FixturePath("signed_package.exe"));
    const std::size_t field = NtOffset(image) + kChecksumOffset;
    for (const std::size_t kept : {image.size() - 1001, image.size() - 1000}) {
        Bytes copy(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(kept));
        copy.insert(copy.end(), 333, 0xA5);
        auto sum =
            PeChecksumSum::FromChecksum(StoredPeChecksum(image, NtOffset(image)), image.size());
        ASSERT_TRUE(sum);
        PeChecksumSum changed;
        changed.Add(image.data() + kept, image.size() - kept, kept);
        sum->Subtract(changed);
        PeChecksumSum added;
        added.Add(copy.data() + kept, copy.size() - kept, kept);
        sum->Add(added);
        EXPECT_EQ(sum->Checksum(copy.size()), ComputePeChecksum(copy, field)) << kept;
    }
    // No file of 4096 bytes has a checksum below 4096 or above 4096 + 0xFFFF.
    EXPECT_FALSE(PeChecksumSum::FromChecksum(4095, 4096));
    EXPECT_FALSE(PeChecksumSum::FromChecksum(4096 + 0x10000, 4096));
    EXPECT_TRUE(PeChecksumSum::FromChecksum(4096 + 0xFFFF, 4096));
}

}  // namespace
