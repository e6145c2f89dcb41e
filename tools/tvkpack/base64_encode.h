// Encoding of the parameters block: standard base64 (RFC 4648 alphabet,
// "=" padding) as one unbroken line, which is what the stub decodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tvkpack {

std::string Base64Encode(const std::vector<std::uint8_t>& bytes);

// The length of the text Base64Encode gives for size bytes.
std::uint64_t Base64EncodedSize(std::uint64_t size);

}  // namespace tvkpack
