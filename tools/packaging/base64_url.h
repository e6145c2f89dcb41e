// Base64url (RFC 4648 section 5: "-" and "_" for "+" and "/") without
// padding: the form of keys and signatures that travel in URLs and JSON
// (link keys, link signatures, the signature of a signed tag).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace packaging {

std::string Base64UrlEncode(std::span<const std::uint8_t> bytes);

// The bytes of text, or nothing unless text is base64url without padding
// in its one canonical form (no other character, no length that leaves a
// lone character, unused low bits zero).
std::optional<std::vector<std::uint8_t>> Base64UrlDecode(std::string_view text);

}  // namespace packaging
