#include "tools/tvkserve/request_head.h"

namespace tvkserve {

namespace http = boost::beast::http;

namespace {

std::optional<std::string> FieldValue(const http::request<http::empty_body>& request,
                                      http::field name) {
    const auto found = request.find(name);
    if (found == request.end()) {
        return std::nullopt;
    }
    return std::string(found->value());
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
    head.keep_alive = request.keep_alive();
    head.has_transfer_encoding = request.find(http::field::transfer_encoding) != request.end();
    head.content_length = parser.content_length().value_or(0);
    head.if_none_match = FieldValue(request, http::field::if_none_match);
    head.range = FieldValue(request, http::field::range);
    head.if_range = FieldValue(request, http::field::if_range);
    const auto [first, last] = request.equal_range("X-Forwarded-For");
    for (auto field = first; field != last; ++field) {
        head.forwarded_for += (head.forwarded_for.empty() ? "" : ",") + std::string(field->value());
    }
    return head;
}

}  // namespace tvkserve
