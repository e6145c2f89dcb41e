// Decoding of the parameters block, which the packaging step writes as one
// unbroken run of standard base64 text (RFC 4648 alphabet, optional "="
// padding).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// Decodes the leading run of base64 text and ignores everything from the
// first "=" or the first byte outside the standard alphabet on, whatever
// follows it. A lone character at the end of that run is dropped; two or
// three give one or two bytes. Malformed text is never an error; the only
// failure is running out of memory for the result.
std::vector<std::uint8_t> Base64Decode(std::string_view text);
