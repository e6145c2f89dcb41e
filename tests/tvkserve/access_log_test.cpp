// The access log: a reader of its output that stalls holds up no writer;
// what the queue cannot take is dropped and counted, and what is written
// comes in whole lines.
#include "tools/tvkserve/access_log.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using tvkserve::AccessLog;
using tvkserve::AccessRecord;

TEST(AccessLog, AStalledReaderHoldsUpNoWriterAndDroppedLinesAreCounted) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::FILE* out = fdopen(ends[1], "w");
    ASSERT_NE(out, nullptr);
    // Several times what the pipe, the queue and a batch being written hold.
    constexpr std::uint64_t kRecords = 40000;
    const std::string target = "/download/setup?brand=acme&ref=" + std::string(64, 'r');
    const AccessRecord record{"127.0.0.1", "GET", target, 200, 12345, {}};
    std::uint64_t dropped = 0;
    std::string text;
    std::thread reader;
    {
        AccessLog log(out);
        for (std::uint64_t i = 0; i < kRecords; ++i) {
            log.Write(record);  // returns, though nobody reads
        }
        dropped = log.dropped();
        reader = std::thread([&] {
            char buffer[65536];
            for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) > 0;) {
                text.append(buffer, static_cast<std::size_t>(got));
            }
        });
    }  // the log's end waits until the reader has taken the queued lines
    std::fclose(out);
    reader.join();
    close(ends[0]);

    EXPECT_GT(dropped, 0u);
    const auto lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
    EXPECT_EQ(lines, kRecords - dropped);
    EXPECT_TRUE(text.ends_with(" \"GET " + target + "\" 200 12345 0.0ms\n"));
}

}  // namespace
