// A request as the server's stages read it: the request line and the few
// header fields that decide an answer, taken from Beast's parser once, so
// that what is planned from them is a function of plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

namespace tvkserve {

enum class RequestMethod {
    kGet,
    kHead,
    kOther,  // answered 405
};

struct RequestHead {
    RequestMethod method = RequestMethod::kGet;
    std::string method_text;  // as received, for the access log
    std::string target;       // as received
    unsigned version = 11;    // 10 for HTTP/1.0, 11 for HTTP/1.1
    // How many Host fields the request has: HTTP/1.1 asks for exactly one.
    std::size_t host_fields = 0;
    // Whether the client asked to keep the connection (HTTP/1.1 unless it
    // says close; HTTP/1.0 only when it says keep-alive).
    bool keep_alive = false;
    // What the request says of a body, which a download request never has.
    bool has_transfer_encoding = false;
    std::uint64_t content_length = 0;
    // The fields that make a response conditional or partial. A list field
    // given on several lines is joined with commas, as HTTP defines; a
    // request with more than one Range field has none (it gets the whole).
    std::optional<std::string> if_none_match;
    std::optional<std::string> range;
    std::optional<std::string> if_range;
    // X-Forwarded-For's values, in the order received, as one list.
    std::string forwarded_for;
};

// The head of the request that parser has read.
RequestHead ReadRequestHead(
    const boost::beast::http::request_parser<boost::beast::http::empty_body>& parser);

}  // namespace tvkserve
