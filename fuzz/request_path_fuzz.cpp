// The download server's request path, driven as a connection drives it but
// without a socket: the input's bytes after the first are what a client
// sends on one connection. They reach the server's RequestReader in reads
// of a chosen size; each request is planned (PlanDownloadResponse), its
// download held and tagged as the session holds and tags it, its body's
// spans (DownloadSpans) gathered from memory and from the package file, and
// its header written (ResponseHeader). Each response is then read back as a
// client reads it and checked:
//   - the header parses as an HTTP/1.1 response with the plan's status, and
//     says close exactly when the connection ends;
//   - Content-Length is the body's length; a 304 names none; a 304 or a
//     response to HEAD has no body, and HEAD gets the header GET would get;
//   - a download's whole body (the same request without Range, If-Range and
//     If-None-Match, planned and gathered the same way) is byte for byte
//     what `tvkpack tag` makes of the package, and a 206's body is the slice
//     of it that its Content-Range names;
//   - the connection's loop ends: the reader never asks for more once the
//     client has closed, each request it hands over has taken bytes, and an
//     answer that ends the connection ends the loop.
// The first byte chooses the configuration (bits 0-1, see
// request_path_fixture.h), the size of each read (bits 2-4), and whether the
// server is finishing (bits 5-7 all set).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include "fuzz/request_path_fixture.h"
#include "tests/support/tvkpack_images.h"
#include "tools/tvkpack/tvkpack_commands.h"
#include "tools/tvkserve/request_reader.h"
#include "tools/tvkserve/response_body.h"
#include "tools/tvkserve/response_plan.h"
#include "tools/tvkserve/signed_link.h"

namespace {

namespace http = boost::beast::http;
using Bytes = std::vector<std::uint8_t>;
using request_path_fuzz::TheFixture;
using tvkserve::RequestHead;
using tvkserve::RequestMethod;
using tvkserve::ResponsePlan;
using tvkserve::ServedContent;

// The sizes a client's bytes arrive in, by bits 2-4 of the first byte: the
// session's own read size first.
constexpr std::size_t kReadSizes[] = {4096, 1, 2, 3, 7, 64, 512, 1460};
// The date every response carries.
const auto kDate =
    std::chrono::system_clock::time_point(std::chrono::seconds(request_path_fuzz::kNow));
// The most whole downloads kept for comparison; each is a few KiB.
constexpr std::size_t kMostKeptDownloads = 256;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "request_path_fuzz: %s\n", what);
        std::abort();
    }
}

// What the first byte chooses for the connection.
struct Connection {
    const ServedContent* content = nullptr;
    std::size_t read_size = 0;
    bool finishing = false;
};

Connection ConnectionOf(std::uint8_t first) {
    const auto& contents = TheFixture().contents;
    return {contents[first % contents.size()].get(), kReadSizes[(first >> 2) & 7],
            (first >> 5) == 7};
}

// A response as it goes out.
struct Response {
    std::string header;
    Bytes body;
};

// The body the spans make: memory as it is, file spans read from the
// package file.
Bytes Gather(const std::vector<tvkserve::Span>& spans, int file) {
    Bytes body;
    for (const tvkserve::Span& span : spans) {
        Check(span.begin <= span.end, "a span ends before it begins");
        if (span.memory) {
            body.insert(body.end(), span.memory + span.begin, span.memory + span.end);
            continue;
        }
        const std::size_t at = body.size();
        body.resize(at + static_cast<std::size_t>(span.end - span.begin));
        std::size_t done = 0;
        while (at + done < body.size()) {
            const ssize_t got = ::pread(file, body.data() + at + done, body.size() - at - done,
                                        static_cast<off_t>(span.begin + done));
            Check(got > 0 || (got < 0 && errno == EINTR), "a file span lies beyond the package");
            done += got > 0 ? static_cast<std::size_t>(got) : 0;
        }
    }
    return body;
}

// What the session sends for a plan: a download's body (its tag built when
// the range needs one), else the text, and the header.
Response Send(const ResponsePlan& plan) {
    Response response;
    if (plan.download && plan.send_body) {
        tvkserve::HeldDownload held{*plan.download, nullptr, {}, {}};
        if (plan.needs_tag) {
            held.tag = tvkserve::Catalog::Tag(held.description);
        }
        response.body = Gather(tvkserve::DownloadSpans(held, plan.first, plan.last),
                               held.description.package->file());
    }
    if (plan.send_body && !plan.text.empty()) {
        response.body.assign(plan.text.begin(), plan.text.end());
    }
    response.header = tvkserve::ResponseHeader(plan, kDate);
    return response;
}

// The header as a client reads it; aborts unless it is a whole HTTP/1.1
// response header and nothing more.
http::response<http::empty_body> ReadHeader(const std::string& header) {
    http::response_parser<http::empty_body> parser;
    boost::beast::error_code error;
    const std::size_t used = parser.put(boost::asio::buffer(header), error);
    Check(!error && parser.is_header_done() && used == header.size(),
          "the header is not an HTTP/1.1 response header");
    Check(parser.get().version() == 11, "the response is not HTTP/1.1");
    return parser.release();
}

std::optional<std::string> FieldOf(const http::response<http::empty_body>& message,
                                   http::field name) {
    const auto found = message.find(name);
    if (found == message.end()) {
        return std::nullopt;
    }
    return std::string(found->value());
}

// "bytes first-last/size" read back; nothing when it is not of that form.
struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t size = 0;
};

std::optional<ContentRange> ReadContentRange(std::string_view value) {
    constexpr std::string_view kUnit = "bytes ";
    if (!value.starts_with(kUnit)) {
        return std::nullopt;
    }
    const char* at = value.data() + kUnit.size();
    const char* const end = value.data() + value.size();
    // A number, then the separator (none after the last).
    const auto read = [&](std::uint64_t& number, char separator) {
        const auto [next, error] = std::from_chars(at, end, number);
        if (error != std::errc() || next == at) {
            return false;
        }
        at = next;
        if (separator == 0) {
            return at == end;
        }
        return at != end && *at++ == separator;
    };
    ContentRange range;
    if (!read(range.first, '-') || !read(range.last, '/') || !read(range.size, 0)) {
        return std::nullopt;
    }
    return range;
}

// Whole downloads that matched tvkpack's, by entity tag: each entity tag
// names one download's bytes, so later responses compare with the copy kept
// without tagging again.
std::map<std::string, Bytes>& CheckedDownloads() {
    static std::map<std::string, Bytes> downloads;
    return downloads;
}

// What `tvkpack tag` makes of the package with the download's parameters,
// icon and picture (and signature, with a key): the tag inside the signature.
Bytes TvkpackTagged(const tvkserve::DownloadDescription& description) {
    tvkpack::TagContent content;
    content.params_json.assign(description.params_text.begin(), description.params_text.end());
    content.icon.assign(description.brand->icon().begin(), description.brand->icon().end());
    content.picture.assign(description.brand->picture().begin(),
                           description.brand->picture().end());
    content.version = description.version;
    content.sign_key = description.tag_key;
    return test_support::TvkpackTag(TheFixture().package, content).package;
}

// The whole download a 200 or 206 answer belongs to: the request planned
// again without Range, If-Range and If-None-Match, sent as GET and gathered,
// and checked against tvkpack's.
const Bytes& WholeDownload(RequestHead head, const ResponsePlan& answer,
                           const Connection& connection) {
    const std::string& etag = answer.download->etag;
    auto& checked = CheckedDownloads();
    if (const auto found = checked.find(etag); found != checked.end()) {
        return found->second;
    }
    head.method = RequestMethod::kGet;
    head.range.reset();
    head.if_range.reset();
    head.if_none_match.reset();
    const ResponsePlan plan = tvkserve::PlanDownloadResponse(
        head, *connection.content, connection.finishing, request_path_fuzz::kNow);
    Check(plan.status == 200 && plan.download && plan.download->etag == etag,
          "the same request without its conditions is no 200 of the same download");
    Response whole = Send(plan);
    Check(whole.body.size() == plan.download->size, "a whole download is not its size");
    Check(whole.body == TvkpackTagged(*plan.download),
          "a whole download differs from what tvkpack tag makes");
    if (checked.size() >= kMostKeptDownloads) {
        checked.clear();
    }
    return checked.emplace(etag, std::move(whole.body)).first->second;
}

// The checks of one response. head: the request when the reader handed one
// over (none for its refusals); is_head: whether the request was HEAD.
void CheckResponse(const ResponsePlan& plan, const Response& response,
                   const std::optional<RequestHead>& head, bool is_head,
                   const Connection& connection) {
    const http::response<http::empty_body> message = ReadHeader(response.header);
    Check(message.result_int() == plan.status, "the status line is not the plan's status");
    Check(message.keep_alive() == plan.keep_alive,
          "the header's Connection disagrees with what follows the response");
    const std::optional<std::string> length_field = FieldOf(message, http::field::content_length);
    if (plan.status == 304) {
        Check(!length_field, "a 304 names a Content-Length");
    } else {
        Check(length_field.has_value(), "a response names no Content-Length");
    }
    if (is_head || plan.status == 304) {
        Check(response.body.empty(), "a 304 or a response to HEAD has a body");
    } else {
        Check(*length_field == std::to_string(response.body.size()),
              "Content-Length is not the body's length");
    }
    if (head && is_head) {
        // HEAD answers with the header GET would get.
        RequestHead get = *head;
        get.method = RequestMethod::kGet;
        const ResponsePlan as_get = tvkserve::PlanDownloadResponse(
            get, *connection.content, connection.finishing, request_path_fuzz::kNow);
        Check(as_get.status == plan.status && as_get.fields == plan.fields &&
                  as_get.content_length == plan.content_length &&
                  as_get.keep_alive == plan.keep_alive,
              "HEAD gets another header than GET");
    }
    if (!head || !plan.download || is_head) {
        return;
    }
    const Bytes& whole = WholeDownload(*head, plan, connection);
    if (plan.status == 200) {
        Check(response.body == whole, "a 200's body is not the whole download");
        return;
    }
    Check(plan.status == 206, "a download answer is neither 200 nor 206");
    const std::optional<std::string> range_field = FieldOf(message, http::field::content_range);
    const std::optional<ContentRange> range =
        range_field ? ReadContentRange(*range_field) : std::nullopt;
    Check(range && range->first <= range->last && range->last < range->size &&
              range->size == whole.size(),
          "a 206's Content-Range does not name a part of the download");
    Check(response.body.size() == range->last + 1 - range->first &&
              std::equal(response.body.begin(), response.body.end(),
                         whole.begin() + static_cast<std::ptrdiff_t>(range->first)),
          "a 206's body is not the part of the whole download that Content-Range names");
}

// Whether the request that starts at offset (behind the empty lines the
// reader skips) is a HEAD request: for the reader's refusals, which come
// before a request is understood.
bool StartsHeadRequest(std::string_view input, std::size_t offset) {
    while (offset < input.size() && (input[offset] == '\r' || input[offset] == '\n')) {
        ++offset;
    }
    return input.substr(offset).starts_with("HEAD ");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    TheFixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const Connection connection = ConnectionOf(data[0]);
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    // The connection's peer: a listed proxy, so X-Forwarded-For is read.
    const auto peer = boost::asio::ip::make_address("127.0.0.1");

    boost::beast::flat_buffer buffer;
    tvkserve::RequestReader reader;
    std::size_t offered = 0;        // the input's bytes put into the buffer
    std::size_t request_start = 0;  // where the next request's bytes begin
    bool at_end = false;            // the client has closed its side
    // Each turn reads more, sets at_end once, or takes bytes for a request.
    const std::size_t most_turns = 2 * input.size() + 2;
    for (std::size_t turn = 0;; ++turn) {
        Check(turn <= most_turns, "the connection's loop does not end");
        const tvkserve::RequestReader::Outcome outcome = reader.Read(buffer, at_end);
        if (outcome == tvkserve::RequestReader::Outcome::kNeedMore) {
            Check(!at_end, "the reader asks for more after the client has closed");
            if (offered == input.size()) {
                at_end = true;
                continue;
            }
            const std::size_t read = std::min(connection.read_size, input.size() - offered);
            const auto space = buffer.prepare(read);
            std::copy_n(input.data() + offered, read, static_cast<char*>(space.data()));
            buffer.commit(read);
            offered += read;
            continue;
        }
        if (outcome == tvkserve::RequestReader::Outcome::kGone) {
            break;
        }
        const std::size_t taken = offered - buffer.size();
        if (outcome == tvkserve::RequestReader::Outcome::kRefusal) {
            const ResponsePlan& refusal = reader.refusal();
            Check(!refusal.keep_alive, "a refusal of the reader keeps the connection");
            CheckResponse(refusal, Send(refusal), std::nullopt,
                          StartsHeadRequest(input, request_start), connection);
            break;
        }
        Check(taken > request_start, "a request took no bytes");
        request_start = taken;
        const RequestHead& head = reader.head();
        // What the session does with every request before it is planned.
        tvkserve::RedactedTarget(head.target);
        connection.content->config.trusted_proxies.ClientOf(peer, head.forwarded_for).to_string();
        const ResponsePlan plan = tvkserve::PlanDownloadResponse(
            head, *connection.content, connection.finishing, request_path_fuzz::kNow);
        CheckResponse(plan, Send(plan), head, head.method == RequestMethod::kHead, connection);
        if (!plan.keep_alive) {
            break;
        }
    }
    return 0;
}
