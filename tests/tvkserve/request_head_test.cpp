// Requests as they arrive, read into the head the stages plan from: the
// field rules of HTTP that a download's answer depends on.
#include "tools/tvkserve/request_head.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"
#include "tools/tvkserve/response_plan.h"

namespace {

namespace http = boost::beast::http;

tvkserve::RequestHead HeadOf(const std::string& raw) {
    http::request_parser<http::empty_body> parser;
    boost::beast::error_code error;
    parser.put(boost::asio::buffer(raw), error);
    EXPECT_FALSE(error) << error.message();
    EXPECT_TRUE(parser.is_header_done());
    return tvkserve::ReadRequestHead(parser);
}

TEST(RequestHead, FieldRulesDecideTheAnswer) {
    test_support::ScopedTempDir folder;
    std::ostringstream warnings;
    const tvkserve::ServedContent content(
        tvkserve::ParseConfig(R"({"listen": "127.0.0.1:0", "packages": {"p": {"file": ")" +
                                  test_support::FixturePath("signed_runnable.exe").string() +
                                  R"(", "download_name": "P.exe"}},
                "brands": {"b": {"params": {}}},
                "query": {"ref": {"max_length": 8, "pattern": "[a-z]*"}}})",
                              folder.path()),
        warnings);
    const std::string target = "/download/p?brand=b&ref=a";
    const std::string etag =
        tvkserve::PlanDownloadResponse(HeadOf("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"),
                                       content, false, 0)
            .download->etag;
    struct Row {
        const char* what;
        std::string request;
        unsigned status;
    };
    const Row rows[] = {
        {"If-None-Match over two lines",
         "GET " + target +
             " HTTP/1.1\r\nHost: x\r\nIf-None-Match: \"other\"\r\n"
             "If-None-Match: " +
             etag + "\r\n\r\n",
         304},
        {"two Range fields: the whole",
         "GET " + target +
             " HTTP/1.1\r\nHost: x\r\nRange: bytes=0-9\r\n"
             "Range: bytes=10-19\r\n\r\n",
         200},
        {"HTTP/1.1 without Host", "GET " + target + " HTTP/1.1\r\n\r\n", 400},
        {"two Host fields", "GET " + target + " HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n", 400},
        {"HTTP/1.0 without Host", "GET " + target + " HTTP/1.0\r\n\r\n", 200},
        {"a fragment is no part of a value", "GET " + target + "#top HTTP/1.1\r\nHost: x\r\n\r\n",
         200},
    };
    for (const Row& row : rows) {
        const tvkserve::ResponsePlan plan =
            tvkserve::PlanDownloadResponse(HeadOf(row.request), content, false, 0);
        EXPECT_EQ(plan.status, row.status) << row.what << ": " << plan.text;
        if (plan.download) {
            EXPECT_EQ(plan.download->params_text, R"({"ref":"a"})") << row.what;
        }
    }
}

}  // namespace
