// The header fields of a download: ranges as download managers send them,
// entity tag matching, and the file name browsers save under.
#include "tools/tvkserve/http_fields.h"

#include <gtest/gtest.h>

namespace {

using namespace tvkserve;
using Kind = RangeRequest::Kind;

TEST(ParseRange, ServesOneRangeAndAnswersTheWholeBodyForWhatItIgnores) {
    struct Row {
        const char* field;
        Kind kind;
        std::uint64_t first, last;
    };
    const Row rows[] = {
        {"bytes=0-99", Kind::kPart, 0, 99},
        {"bytes=990-", Kind::kPart, 990, 999},
        {"bytes=990-5000", Kind::kPart, 990, 999},  // a last byte beyond the end is the end
        {"bytes=-10", Kind::kPart, 990, 999},
        {"bytes=-5000", Kind::kPart, 0, 999},
        {"bytes=999-999", Kind::kPart, 999, 999},
        {"bytes=1000-", Kind::kUnsatisfiable, 0, 0},
        {"bytes=-0", Kind::kUnsatisfiable, 0, 0},
        {"bytes=0-1,5-6", Kind::kWhole, 0, 0},
        {"bytes=9-1", Kind::kWhole, 0, 0},
        {"bytes=a-b", Kind::kWhole, 0, 0},
        {"bytes=99999999999999999999-", Kind::kWhole, 0, 0},
        {"items=0-1", Kind::kWhole, 0, 0},
    };
    for (const Row& row : rows) {
        const RangeRequest range = ParseRange(row.field, 1000);
        EXPECT_EQ(range.kind, row.kind) << row.field;
        if (row.kind == Kind::kPart) {
            EXPECT_EQ(range.first, row.first) << row.field;
            EXPECT_EQ(range.last, row.last) << row.field;
        }
    }
    EXPECT_EQ(ContentRange(ParseRange("bytes=5-9", 1000), 1000), "bytes 5-9/1000");
    EXPECT_EQ(ContentRange(ParseRange("bytes=5000-", 1000), 1000), "bytes */1000");
}

TEST(EntityTags, IfNoneMatchComparesWeaklyAndIfRangeStrongly) {
    const std::string etag = "\"abc-1\"";
    EXPECT_TRUE(NoneMatchHolds("\"abc-1\"", etag));
    EXPECT_TRUE(NoneMatchHolds("\"x\", W/\"abc-1\"", etag));
    EXPECT_TRUE(NoneMatchHolds(" * ", etag));
    EXPECT_FALSE(NoneMatchHolds("\"abc-2\", \"abc\"", etag));
    EXPECT_TRUE(IfRangeHolds("\"abc-1\"", etag));
    EXPECT_FALSE(IfRangeHolds("W/\"abc-1\"", etag));
    EXPECT_FALSE(IfRangeHolds("Sun, 06 Nov 1994 08:49:37 GMT", etag));
}

TEST(ContentDisposition, QuotesAsciiNamesAndAddsAUtf8NameForOthers) {
    EXPECT_EQ(ContentDisposition("Setup 1.0.exe"), "attachment; filename=\"Setup 1.0.exe\"");
    EXPECT_EQ(ContentDisposition("Café-Setup.exe"),
              "attachment; filename=\"Caf_-Setup.exe\"; filename*=UTF-8''Caf%C3%A9-Setup.exe");
    EXPECT_EQ(ContentDisposition("a\"b.exe"),
              "attachment; filename=\"a_b.exe\"; filename*=UTF-8''a%22b.exe");
    EXPECT_EQ(HttpDate(std::chrono::system_clock::from_time_t(784111777)),
              "Sun, 06 Nov 1994 08:49:37 GMT");
}

}  // namespace
