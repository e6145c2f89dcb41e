// What a planned response sends: its header's text, and for a download the
// spans of its body (memory the download holds, ranges of the package
// file). The connection code sends them as they are; a test or a fuzzer
// can gather the same bytes without a connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/tvkserve/catalog.h"
#include "tools/tvkserve/response_plan.h"
#include "tools/tvkserve/server_counters.h"
#include "tools/tvkserve/span_writer.h"

namespace tvkserve {

// What a download's response holds until it ends: its package (with the
// open file) and brand, whatever reloads come; the tag built for it, with
// its share of the server's tag byte budget; and its place among the
// downloads in flight.
struct HeldDownload {
    DownloadDescription description;
    std::shared_ptr<const TaggedDownload> tag;  // when the range needs one
    TagBytesShare share;
    DownloadInFlight in_flight;
};

// The body's spans for bytes [first, last] of a download: the file's bytes
// as they are on disk, and, where a tag was built, its first header bytes
// and its table's pieces.
std::vector<Span> DownloadSpans(const HeldDownload& held, std::uint64_t first, std::uint64_t last);

// The response's header as it goes out: the status line, Date, the plan's
// fields in order, Content-Length, and Connection: close unless the
// connection is kept.
std::string ResponseHeader(const ResponsePlan& plan, std::chrono::system_clock::time_point now);

}  // namespace tvkserve
