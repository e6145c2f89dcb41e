#include "tools/tvkserve/request_head.h"

#include <iterator>

namespace tvkserve {

namespace http = boost::beast::http;

namespace {

// A field's value; none when the request has no such field, or more than
// one line of a field that is no list.
std::optional<std::string> FieldValue(const http::request<http::empty_body>& request,
                                      http::field name) {
    const auto [first, last] = request.equal_range(name);
    if (first == last || std::next(first) != last) {
        return std::nullopt;
    }
    return std::string(first->value());
}

// A list field's lines joined with commas; none when it has no line.
std::optional<std::string> ListValue(const http::request<http::empty_body>& request,
                                     std::string_view name) {
    std::optional<std::string> list;
    const auto [first, last] = request.equal_range(name);
    for (auto field = first; field != last; ++field) {
        list = list ? *list + "," + std::string(field->value()) : std::string(field->value());
    }
    return list;
}

}  // namespace

RequestHead ReadRequestHead(const http::request_parser<http::empty_body>& parser) {
    const http::request<http::empty_body>& request = parser.get();
    RequestHead head;
    switch (request.method()) {
        case http::verb::get:
            head.method = RequestMethod::kGet;
            break;
        case http::verb::head:
            head.method = RequestMethod::kHead;
            break;
        default:
            head.method = RequestMethod::kOther;
            break;
    }
    head.method_text = std::string(request.method_string());
    head.target = std::string(request.target());
    head.version = request.version();
    head.host_fields = request.count(http::field::host);
    head.keep_alive = request.keep_alive();
    head.has_transfer_encoding = request.find(http::field::transfer_encoding) != request.end();
    head.content_length = parser.content_length().value_or(0);
    head.if_none_match = ListValue(request, "If-None-Match");
    head.range = FieldValue(request, http::field::range);
    head.if_range = FieldValue(request, http::field::if_range);
    head.forwarded_for = ListValue(request, "X-Forwarded-For").value_or("");
    return head;
}

}  // namespace tvkserve
