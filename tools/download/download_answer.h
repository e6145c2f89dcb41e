// The answer to a download request whose download is described (its size
// and entity tag known), decided from the request's conditions alone: 304,
// 416, a part (206) or the whole (200), with the header fields each
// carries; and the plain-text answers that refuse a request. The server and
// the edge answer with these, so that both send the same statuses, fields
// and messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace download {

// A header field to send: its name and value.
using ResponseField = std::pair<std::string, std::string>;

struct Answer {
    unsigned status = 200;
    // Every field but Date, Content-Length and Connection, which the sender
    // adds.
    std::vector<ResponseField> fields;
    // Content-Length; none for a 304, which has no body and names none.
    std::optional<std::uint64_t> content_length;
    // The body of a text answer (a refusal).
    std::string text;
};

// A text answer: the message and a line end, as plain UTF-8 text.
Answer TextAnswer(unsigned status, std::string message, std::vector<ResponseField> fields = {});
// The same with another content type.
Answer TypedAnswer(unsigned status, std::string text, std::vector<ResponseField> fields,
                   const char* content_type);

// What a request says that makes its answer conditional or partial.
struct DownloadConditions {
    std::optional<std::string> if_none_match;
    std::optional<std::string> range;
    std::optional<std::string> if_range;
};

// What is known of the download before it is built.
struct DownloadFacts {
    std::string etag;
    std::uint64_t size = 0;
    std::string download_name;  // UTF-8
    std::string cache_control;  // empty: none sent
};

struct DownloadAnswer : Answer {
    // A 200 or 206: the body is the download's bytes [first, last].
    bool sends_download = false;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

// If-None-Match first (304), then Range under If-Range (416, or 206 for the
// part); else the whole (200).
DownloadAnswer PlanDownloadAnswer(const DownloadConditions& conditions, const DownloadFacts& facts);

}  // namespace download
