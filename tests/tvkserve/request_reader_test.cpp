// The reader's refusals of requests it cannot read (a request line or a
// header beyond the limits, bytes that are not HTTP): each ends the
// connection, and like every answer to HEAD, one to a HEAD request has no
// body, whether the parser had read its request line or not.
#include "tools/tvkserve/request_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

TEST(RequestReader, RefusalsOfHeadRequestsHaveNoBody) {
    const std::string long_target = "/" + std::string(tvkserve::kHeaderLimit, 'a');
    const std::string long_field = "X-Filler: " + std::string(tvkserve::kHeaderLimit, 'x') + "\r\n";
    struct Row {
        const char* what;
        std::string request;
        unsigned status;
        bool send_body;
    };
    const Row rows[] = {
        {"GET, request line too long", "GET " + long_target + " HTTP/1.1\r\n\r\n", 414, true},
        {"HEAD after empty lines, request line too long",
         "\r\n\r\nHEAD " + long_target + " HTTP/1.1\r\n\r\n", 414, false},
        {"GET, header too long", "GET / HTTP/1.1\r\n" + long_field + "\r\n", 431, true},
        {"HEAD, header too long", "HEAD / HTTP/1.1\r\n" + long_field + "\r\n", 431, false},
        {"HEAD, a request line that is not HTTP", "HEAD / HTTP/9.9\r\n\r\n", 400, false},
        {"HEAD, a field that is not HTTP", "HEAD / HTTP/1.1\r\nBad Field: x\r\n\r\n", 400, false},
        {"GET whose bad field begins with HEAD", "GET / HTTP/1.1\r\nHEAD x: y\r\n\r\n", 400, true},
    };
    for (const Row& row : rows) {
        boost::beast::flat_buffer buffer;
        const auto space = buffer.prepare(row.request.size());
        std::copy(row.request.begin(), row.request.end(), static_cast<char*>(space.data()));
        buffer.commit(row.request.size());
        tvkserve::RequestReader reader;
        ASSERT_EQ(reader.Read(buffer, false), tvkserve::RequestReader::Outcome::kRefusal)
            << row.what;
        EXPECT_EQ(reader.refusal().status, row.status) << row.what;
        EXPECT_EQ(reader.refusal().send_body, row.send_body) << row.what;
        EXPECT_FALSE(reader.refusal().keep_alive) << row.what;
    }
}

}  // namespace
