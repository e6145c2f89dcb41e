#include "tools/packaging/base64_url.h"

#include <algorithm>

#include "package/base64.h"
#include "tools/packaging/base64_encode.h"

namespace packaging {

namespace {

bool IsUrlAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

}  // namespace

std::string Base64UrlEncode(std::span<const std::uint8_t> bytes) {
    std::string text = Base64Encode(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    return text;
}

std::optional<std::vector<std::uint8_t>> Base64UrlDecode(std::string_view text) {
    if (text.size() % 4 == 1 || !std::all_of(text.begin(), text.end(), IsUrlAlphabet)) {
        return std::nullopt;
    }
    std::string standard(text);
    std::replace(standard.begin(), standard.end(), '-', '+');
    std::replace(standard.begin(), standard.end(), '_', '/');
    std::vector<std::uint8_t> bytes = Base64Decode(standard);
    // The one text these bytes encode to: other low bits in the last
    // character would let many texts stand for one value.
    if (Base64UrlEncode(bytes) != text) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace packaging
