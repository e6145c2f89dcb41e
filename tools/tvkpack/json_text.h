// JSON as the packaging command meets it: the vendor's parameters file is
// checked before it goes into a package, and the inspect report is written
// as JSON on request.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tvkpack {

// Checks that text is one JSON value (RFC 8259) with nothing but white space
// around it; a leading UTF-8 byte order mark is allowed. Returns an empty
// string when it is, else what is wrong and the byte offset where it was
// found. Nesting deeper than 512 levels is refused.
std::string CheckJson(std::string_view text);

// text as a JSON string literal, quotes included. Bytes that do not form
// valid UTF-8 are written as U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace tvkpack
