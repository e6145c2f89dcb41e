#include "tools/tvkserve/request_reader.h"

#include <string_view>

namespace tvkserve {

namespace http = boost::beast::http;

namespace {

// Whether the request being read is HEAD, whose answer has no body: the
// parser knows once it has read the request line; until then, that line is
// still at the front of the buffer.
bool IsHeadRequest(const http::request_parser<http::empty_body>& parser,
                   const boost::beast::flat_buffer& buffer) {
    if (!parser.get().method_string().empty()) {
        return parser.get().method() == http::verb::head;
    }
    const std::string_view front(static_cast<const char*>(buffer.data().data()), buffer.size());
    return front.starts_with("HEAD ");
}

}  // namespace

RequestReader::Outcome RequestReader::Read(boost::beast::flat_buffer& buffer, bool at_end) {
    if (!parser_) {
        const auto* bytes = static_cast<const char*>(buffer.data().data());
        std::size_t empty = 0;
        while (empty < buffer.size() && (bytes[empty] == '\r' || bytes[empty] == '\n')) {
            ++empty;
        }
        buffer.consume(empty);
        empty_line_bytes_ += empty;
        if (empty_line_bytes_ > kMostEmptyLineBytes) {
            return Outcome::kGone;  // empty lines without end: no request is coming
        }
        if (buffer.size() == 0) {
            return at_end ? Outcome::kGone : Outcome::kNeedMore;
        }
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
    }
    boost::beast::error_code error;
    buffer.consume(parser_->put(buffer.data(), error));
    if (error == http::error::need_more || (!error && !parser_->is_header_done())) {
        // A client that closes in the middle of a request has left.
        return at_end ? Outcome::kGone : Outcome::kNeedMore;
    }
    if (error == http::error::header_limit) {
        // The parser takes the request line first: when it has none, the
        // line itself was too long (414), else the fields (431).
        const bool long_line = parser_->get().target().empty();
        return Refuse(long_line ? TextAnswer(414, "the request line is too long")
                                : TextAnswer(431, "the request's header is too long"),
                      IsHeadRequest(*parser_, buffer));
    }
    if (error) {
        return Refuse(TextAnswer(400, "the request is not well-formed HTTP"),
                      IsHeadRequest(*parser_, buffer));
    }
    head_ = ReadRequestHead(*parser_);
    parser_.reset();
    empty_line_bytes_ = 0;
    return Outcome::kHead;
}

RequestReader::Outcome RequestReader::Refuse(ResponsePlan answer, bool head_request) {
    refusal_ = std::make_unique<ResponsePlan>(std::move(answer));
    refusal_->send_body = !head_request;
    parser_.reset();
    empty_line_bytes_ = 0;
    return Outcome::kRefusal;
}

}  // namespace tvkserve
