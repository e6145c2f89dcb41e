// What the server answers to a request, decided before a byte is sent: a
// pure function of the request's head and the content in force (and, on the
// metrics address, of the server's state). The connection code only reads
// requests, sends what a plan says and keeps deadlines.
//
// A request on the download address passes these stages, in this order;
// the first that refuses it decides the answer:
//
//   1. The request itself: its method (405), the length of its target
//      (414), and a body it must not carry (400, and the connection ends:
//      a proxy in front cannot slip a second request in as the body).
//   2. Its signed link, when the configuration has links: the parameters a
//      link ends with, its key, its expiry and its signature (403; or the
//      fallback brand, with no query values, when one is configured).
//      Nothing is looked up in the catalog before the link holds.
//   3. The download it selects: the path, the package, the brand and every
//      query value (404, 400). Nothing is read from a file for it.
//   4. Its description, from lengths and hashes alone: the size and the
//      entity tag (400 when the parameters cannot be tagged).
//   5. Its conditions: If-None-Match (304), then Range under If-Range
//      (416, or 206 for the part).
//   6. HEAD: the header alone. GET: the body's byte range, and whether the
//      range takes any byte that a tag changes (then the session builds the
//      tag, within the server's tag byte budget, before it sends).
//
// A check that must come before anything else (one that needs no file and
// no lookup in the catalog) stands with stage 2.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/download/download_answer.h"
#include "tools/tvkserve/catalog.h"
#include "tools/tvkserve/request_head.h"
#include "tools/tvkserve/served_content.h"

namespace tvkserve {

// The longest request target (414 beyond it) and the longest header fields
// (431 beyond them); the parser refuses a request line beyond kHeaderLimit
// too (414).
inline constexpr std::size_t kRequestLineLimit = 8 * 1024;
inline constexpr std::size_t kHeaderLimit = 16 * 1024;
// What a 503 asks the client to wait, in seconds, before it tries again.
inline constexpr int kRetryAfterSeconds = 10;

using download::ResponseField;

// The status, the fields, Content-Length and a text answer's body
// (download::Answer), and what the connection does with them.
struct ResponsePlan : download::Answer {
    // Whether the connection takes another request after this one.
    bool keep_alive = false;
    // Whether the body goes out (not for HEAD, nor for a 304).
    bool send_body = true;
    // A download (200 or 206): what it is made of and the bytes
    // [first, last] of it that the body takes.
    std::optional<DownloadDescription> download;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    // Whether those bytes take any that a tag changes: the first header
    // bytes or the certificate table.
    bool needs_tag = false;
    // Why the request's link was not taken (refused, or served the
    // fallback brand), for the counts.
    std::optional<LinkFailure> link_failure;
};

// A text answer: the message and a line end, as plain UTF-8 text.
ResponsePlan TextAnswer(unsigned status, std::string message,
                        std::vector<ResponseField> fields = {});

// The answer to a request on the download address at time now (Unix
// seconds, for links' expiry). finishing: the server is draining, so the
// connection ends after this answer.
ResponsePlan PlanDownloadResponse(const RequestHead& head, const ServedContent& content,
                                  bool finishing, std::int64_t now);

// The answer to a request on the metrics address: GET /metrics (the text
// metrics_text gives) and GET /healthz (503 while finishing).
ResponsePlan PlanMonitoringResponse(const RequestHead& head, bool finishing,
                                    const std::function<std::string()>& metrics_text);

}  // namespace tvkserve
