// Reads requests from what a connection has received: skips the empty lines
// HTTP allows in front of a request line, parses the header with Beast's
// parser within the server's limits, and says what the bytes hold: not yet
// a whole header, a request's head, or a request the server refuses before
// it is understood (414, 431, 400). It works on bytes alone, so the
// connection code only fills its buffer, and a fuzzer drives it directly.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include "tools/tvkserve/request_head.h"
#include "tools/tvkserve/response_plan.h"

namespace tvkserve {

// The most bytes of empty lines skipped in front of a request line.
inline constexpr std::size_t kMostEmptyLineBytes = 64;

class RequestReader {
  public:
    enum class Outcome {
        kNeedMore,  // read more into the buffer, then ask again
        kHead,      // head() holds the request
        kRefusal,   // refusal() holds the answer; the connection ends with it
        kGone,      // the client closed before a request, or sent only empty lines
    };

    // Takes what it can from the front of buffer. at_end: the client has
    // closed its side (nothing more will come).
    Outcome Read(boost::beast::flat_buffer& buffer, bool at_end);

    const RequestHead& head() const { return head_; }
    // After kRefusal only.
    const ResponsePlan& refusal() const { return *refusal_; }

  private:
    // A refusal of a HEAD request sends no body.
    Outcome Refuse(ResponsePlan answer, bool head_request);

    std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> parser_;
    std::size_t empty_line_bytes_ = 0;
    RequestHead head_;
    // Made only for a refusal, which ends the connection: a connection that
    // downloads for hours keeps no room for one.
    std::unique_ptr<ResponsePlan> refusal_;
};

}  // namespace tvkserve
