// The header fields of a download (tools/download/http_fields.h, which the
// edge shares), and the server's own Date.
#pragma once

#include <chrono>
#include <string>

#include "tools/download/http_fields.h"

namespace tvkserve {

using download::ContentDisposition;
using download::ContentRange;
using download::IfRangeHolds;
using download::NoneMatchHolds;
using download::ParseRange;
using download::RangeRequest;

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT").
std::string HttpDate(std::chrono::system_clock::time_point time);

}  // namespace tvkserve
