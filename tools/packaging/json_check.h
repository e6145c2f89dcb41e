// The vendor's parameters file is JSON: checked with nlohmann-json before it
// goes into a package, and again when inspect reads a package back.
#pragma once

#include <string>
#include <string_view>

namespace packaging {

// Checks that text is one JSON value (RFC 8259) with nothing but white space
// around it; a leading UTF-8 byte order mark is allowed. Returns an empty
// string when it is, else where and what is wrong: "line L, column C: ...",
// both counted from 1, columns in characters.
std::string CheckJson(std::string_view text);

}  // namespace packaging
