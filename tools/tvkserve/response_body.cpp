#include "tools/tvkserve/response_body.h"

#include <algorithm>

#include <boost/beast/http/status.hpp>

#include "tools/tvkserve/http_fields.h"

namespace tvkserve {

std::vector<Span> DownloadSpans(const HeldDownload& held, std::uint64_t first, std::uint64_t last) {
    std::vector<Span> spans;
    const auto add = [&](const std::uint8_t* memory, std::uint64_t start, std::uint64_t end) {
        const std::uint64_t begin = std::max(first, start);
        const std::uint64_t stop = std::min(last + 1, end);
        if (begin < stop) {
            spans.push_back(memory ? Span{memory, begin - start, stop - start}
                                   : Span{nullptr, begin, stop});
        }
    };
    const ServedPackage& package = *held.description.package;
    if (!held.tag) {
        add(nullptr, 0, package.table_offset());
        return spans;
    }
    const TaggedDownload& tag = *held.tag;
    add(tag.head.data(), 0, tag.head.size());
    add(nullptr, tag.head.size(), tag.body_end);
    std::uint64_t position = tag.body_end;
    for (const tag_writer::TablePiece& piece : tag.table.pieces()) {
        add(tag.table.BytesOf(piece).data(), position, position + piece.size);
        position += piece.size;
    }
    return spans;
}

std::string ResponseHeader(const ResponsePlan& plan, std::chrono::system_clock::time_point now) {
    const auto reason =
        boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(plan.status));
    std::string header = "HTTP/1.1 " + std::to_string(plan.status) + " ";
    header.append(reason.data(), reason.size());
    header += "\r\nDate: " + HttpDate(now) + "\r\n";
    for (const auto& [name, value] : plan.fields) {
        header += name + ": " + value + "\r\n";
    }
    if (plan.content_length) {
        header += "Content-Length: " + std::to_string(*plan.content_length) + "\r\n";
    }
    if (!plan.keep_alive) {
        header += "Connection: close\r\n";
    }
    return header + "\r\n";
}

}  // namespace tvkserve
