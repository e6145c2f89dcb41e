// The packaging tools' files: a pending output gets the bytes it is given
// and copied, whatever zeros they hold (a copy leaves holes for them), and
// appears under its name only when it is committed.
#include "tools/packaging/tool_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using packaging::Bytes;
using packaging::InputFile;
using packaging::PendingOutput;
using test_support::ReadBytes;
using test_support::ScopedTempDir;
using test_support::WriteBytes;

constexpr std::size_t kMiB = 1 << 20;

// size bytes of zeros with data at the given offsets.
Bytes ZerosWithData(std::size_t size, const std::vector<std::size_t>& data_at) {
    Bytes bytes(size, 0);
    for (const std::size_t at : data_at) {
        const Bytes data = test_support::PatternBytes(100, static_cast<std::uint32_t>(at));
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return bytes;
}

TEST(PendingOutput, CopiesGiveTheSourceByteForByteWhateverZerosItHolds) {
    struct Row {
        const char* what;
        Bytes source;
    };
    const Row rows[] = {
        {"data, then zeros to the end", ZerosWithData(3 * kMiB + 5, {0})},
        {"zeros, then data at the end", ZerosWithData(3 * kMiB + 5, {3 * kMiB - 95})},
        {"data between zeros", ZerosWithData(4 * kMiB, {kMiB + 17, 2 * kMiB})},
        {"zeros only", Bytes(2 * kMiB + 1, 0)},
    };
    for (const Row& row : rows) {
        for (const bool observed : {false, true}) {
            SCOPED_TRACE(std::string(row.what) + (observed ? ", observed" : ""));
            ScopedTempDir dir;
            WriteBytes(dir.File("source"), row.source);
            const InputFile source(dir.File("source"), "source");
            Bytes seen(row.source.size(), 0xAA);
            const packaging::CopyObserver observe = [&](packaging::ByteView bytes,
                                                        std::uint64_t position) {
                std::copy(bytes.begin(), bytes.end(),
                          seen.begin() + static_cast<std::ptrdiff_t>(position - 3));
            };
            {
                // Behind 3 bytes written first, as a package's stub lies in
                // front of its installer.
                PendingOutput output(dir.File("copy"));
                output.Write(0, Bytes{1, 2, 3});
                output.Copy(source, 0, source.size(), 3, observed ? observe : nullptr);
                EXPECT_FALSE(std::filesystem::exists(dir.File("copy")));
                output.Commit();
            }
            const Bytes copy = ReadBytes(dir.File("copy"));
            ASSERT_EQ(copy.size(), 3 + row.source.size());
            EXPECT_TRUE(std::equal(row.source.begin(), row.source.end(), copy.begin() + 3));
            EXPECT_EQ(copy[0] + copy[1] + copy[2], 6);
            EXPECT_TRUE(!observed || seen == row.source);
            EXPECT_EQ(dir.Names(), (std::vector<std::string>{"copy", "source"}));
        }
    }
}

TEST(PendingOutput, LeavesNothingWhenItIsNotCommitted) {
    ScopedTempDir dir;
    WriteBytes(dir.File("target"), Bytes{'o', 'l', 'd'});
    {
        PendingOutput output(dir.File("target"));
        output.Write(0, Bytes(1000, 7));
    }
    EXPECT_EQ(ReadBytes(dir.File("target")), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"target"});
}

}  // namespace
