// Encoding of the parameters block: standard base64 (RFC 4648 alphabet,
// "=" padding) as one unbroken line, which is what the stub decodes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace packaging {

std::string Base64Encode(std::span<const std::uint8_t> bytes);

// The length of the text Base64Encode gives for size bytes.
std::uint64_t Base64EncodedSize(std::uint64_t size);

}  // namespace packaging
