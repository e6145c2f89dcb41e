// What the server plans for a request, without a connection: one table over
// the answers a download's conditions and ranges give, with the body range
// each sends and whether a tag must be built for it.
#include "tools/tvkserve/response_plan.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"

namespace {

using tvkserve::RequestHead;
using tvkserve::RequestMethod;
using tvkserve::ResponsePlan;

std::string FieldOf(const ResponsePlan& plan, const std::string& name) {
    for (const auto& [field, value] : plan.fields) {
        if (field == name) {
            return value;
        }
    }
    return "";
}

TEST(ResponsePlan, ConditionsAndRangesGiveTheirStatusBodyAndTagNeed) {
    test_support::ScopedTempDir folder;
    std::ostringstream warnings;
    const tvkserve::ServedContent content(
        tvkserve::ParseConfig(R"({"listen": "127.0.0.1:0", "packages": {"p": {"file": ")" +
                                  test_support::FixturePath("signed_runnable.exe").string() +
                                  R"(", "download_name": "P.exe"}},
                "brands": {"b": {"params": {"x": 1}}}})",
                              folder.path()),
        warnings);
    RequestHead get;
    get.target = "/download/p?brand=b";
    get.keep_alive = true;
    get.host_fields = 1;
    const ResponsePlan whole = tvkserve::PlanDownloadResponse(get, content, false, 0);
    ASSERT_EQ(whole.status, 200u) << whole.text;
    ASSERT_TRUE(whole.download);
    const std::uint64_t size = whole.download->size;
    const std::uint64_t head = whole.download->package->head_size();
    const std::uint64_t table = whole.download->package->table_offset();
    const std::string etag = whole.download->etag;
    const std::string from_body = std::to_string(head + 10) + "-" + std::to_string(table - 1);
    const std::string across = std::to_string(table - 5) + "-" + std::to_string(table + 5);

    struct Row {
        const char* what;
        RequestMethod method;
        std::optional<std::string> range;
        std::optional<std::string> if_range;
        std::optional<std::string> if_none_match;
        unsigned status;
        std::optional<std::uint64_t> content_length;
        bool send_body;
        bool needs_tag;
        std::string content_range;
    };
    const Row rows[] = {
        {"a whole GET", RequestMethod::kGet, {}, {}, {}, 200, size, true, true, ""},
        {"a range inside the body, before the table",
         RequestMethod::kGet,
         "bytes=" + from_body,
         etag,
         {},
         206,
         table - head - 10,
         true,
         false,
         "bytes " + from_body + "/" + std::to_string(size)},
        {"a range across the table",
         RequestMethod::kGet,
         "bytes=" + across,
         {},
         {},
         206,
         11,
         true,
         true,
         "bytes " + across + "/" + std::to_string(size)},
        {"a range of the first header bytes",
         RequestMethod::kGet,
         "bytes=0-1",
         {},
         {},
         206,
         2,
         true,
         true,
         "bytes 0-1/" + std::to_string(size)},
        {"a range beyond the end",
         RequestMethod::kGet,
         "bytes=" + std::to_string(size) + "-",
         {},
         {},
         416,
         std::nullopt,
         true,
         false,
         "bytes */" + std::to_string(size)},
        {"If-Range under another entity tag",
         RequestMethod::kGet,
         "bytes=0-9",
         "\"other\"",
         {},
         200,
         size,
         true,
         true,
         ""},
        {"If-None-Match with the tag",
         RequestMethod::kGet,
         {},
         {},
         etag,
         304,
         std::nullopt,
         false,
         false,
         ""},
        {"If-None-Match with another tag",
         RequestMethod::kGet,
         {},
         {},
         "\"other\"",
         200,
         size,
         true,
         true,
         ""},
        {"HEAD", RequestMethod::kHead, {}, {}, {}, 200, size, false, true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RequestHead request = get;
        request.method = row.method;
        request.range = row.range;
        request.if_range = row.if_range;
        request.if_none_match = row.if_none_match;
        const ResponsePlan plan = tvkserve::PlanDownloadResponse(request, content, false, 0);
        EXPECT_EQ(plan.status, row.status) << plan.text;
        if (row.status != 416) {
            EXPECT_EQ(plan.content_length, row.content_length);
            EXPECT_EQ(plan.needs_tag, row.needs_tag);
            EXPECT_EQ(FieldOf(plan, "ETag"), etag);
        }
        EXPECT_EQ(plan.send_body, row.send_body);
        EXPECT_EQ(FieldOf(plan, "Content-Range"), row.content_range);
        EXPECT_TRUE(plan.keep_alive);
    }

    // Refusals of the request itself end the connection; the server's
    // drain ends it after an answer that would have kept it.
    RequestHead put = get;
    put.method = RequestMethod::kOther;
    EXPECT_EQ(tvkserve::PlanDownloadResponse(put, content, false, 0).status, 405u);
    EXPECT_FALSE(tvkserve::PlanDownloadResponse(put, content, false, 0).keep_alive);
    RequestHead with_body = get;
    with_body.content_length = 1;
    EXPECT_EQ(tvkserve::PlanDownloadResponse(with_body, content, false, 0).status, 400u);
    EXPECT_FALSE(tvkserve::PlanDownloadResponse(with_body, content, false, 0).keep_alive);
    EXPECT_FALSE(tvkserve::PlanDownloadResponse(get, content, true, 0).keep_alive);
}

}  // namespace
