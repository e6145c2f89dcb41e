// Any text decodes without failing, to at most three bytes per four
// characters, and the result depends only on the leading run of the alphabet.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "package/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = Base64Decode(text);
    if (decoded.size() > size * 3 / 4) {
        std::abort();
    }
    // Cutting the text at its first byte outside the alphabet changes nothing.
    std::size_t run = 0;
    while (run < size) {
        const unsigned char c = data[run];
        const bool in_alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                 (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!in_alphabet) {
            break;
        }
        ++run;
    }
    if (Base64Decode(text.substr(0, run)) != decoded) {
        std::abort();
    }
    return 0;
}
