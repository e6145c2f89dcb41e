// The header fields of a download, as browsers and download managers read
// them: byte ranges, entity tags, the file name to save under. The server
// and the edge read and write them alike.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace download {

// What a Range field asks of a body of a given size.
struct RangeRequest {
    enum class Kind {
        kWhole,  // no range, or one the server ignores (several ranges, other units, bad syntax)
        kPart,   // one satisfiable range: first..last, both inclusive
        kUnsatisfiable,  // one range that lies wholly beyond the body (416)
    };
    Kind kind = Kind::kWhole;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

// Reads "bytes=a-b", "bytes=a-" and "bytes=-n" (the last n bytes); a last
// byte beyond the body is taken as the body's end. Several ranges are
// answered with the whole body, which HTTP allows.
RangeRequest ParseRange(std::string_view field, std::uint64_t size);

// "bytes first-last/size" for a part, "bytes */size" for a 416.
std::string ContentRange(const RangeRequest& range, std::uint64_t size);

// Whether If-None-Match holds etag ("*" or a list; weak comparison, so
// W/"x" matches "x").
bool NoneMatchHolds(std::string_view if_none_match, std::string_view etag);

// Whether a range may be served under If-Range: only when it names this
// strong entity tag exactly (a date never matches: no Last-Modified is sent).
bool IfRangeHolds(std::string_view if_range, std::string_view etag);

// Content-Disposition for a download saved as name (UTF-8): attachment with
// a quoted ASCII filename, and filename* (RFC 8187, UTF-8) when the name has
// anything that a quoted ASCII name cannot carry plainly.
std::string ContentDisposition(std::string_view name);

}  // namespace download
