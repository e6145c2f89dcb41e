#include "tools/download/client_text.h"

#include <algorithm>

namespace download {

std::string ClientText(std::string_view text, std::size_t limit) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(std::min(text.size(), limit));
    for (const char c : text.substr(0, limit)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            escaped += c;
        } else {
            escaped += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
        }
    }
    return text.size() > limit ? escaped + "..." : escaped;
}

}  // namespace download
