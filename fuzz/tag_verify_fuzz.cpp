// The signed-tag verifier's reading of untrusted text: any parameters text
// is scanned within its bounds, and a member found lies inside the text and
// leaves, once removed, an unsigned JSON object; base64url accepts only
// canonical text (encoding what it decoded gives the text back); any command
// line is split without reading past it.
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#define TVK_VERIFY_INTERNALS
#include "verify/tvk_verify.h"

namespace {

std::string Base64url(const unsigned char* bytes, std::size_t size) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string text;
    unsigned long bits = 0;
    int pending = 0;
    for (std::size_t i = 0; i < size; ++i) {
        bits = (bits << 8) | bytes[i];
        pending += 8;
        while (pending >= 6) {
            pending -= 6;
            text += kAlphabet[(bits >> pending) & 63];
        }
    }
    if (pending > 0) {
        text += kAlphabet[(bits << (6 - pending)) & 63];
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<unsigned char> text(data, data + size);
    tvk_sig_member member{};
    if (tvk_find_sig_member(text.data(), text.size(), &member) == TVK_PARAMS_SIGNED) {
        if (member.start >= member.end || member.end >= size ||
            member.sig_start + member.sig_size >= member.end) {
            std::abort();
        }
        const std::size_t rest = tvk_remove_sig_member(text.data(), text.size(), &member);
        if (tvk_find_sig_member(text.data(), rest, nullptr) != TVK_PARAMS_UNSIGNED) {
            std::abort();
        }
    }

    unsigned char decoded[TVK_MAX_SIGNATURE_SIZE];
    std::size_t decoded_size = 0;
    if (tvk_base64url_decode(reinterpret_cast<const char*>(data), size, decoded, sizeof decoded,
                             &decoded_size) &&
        Base64url(decoded, decoded_size) != std::string(data, data + size)) {
        std::abort();
    }

    // Each byte a code unit; a zero byte would end the line early.
    std::wstring line(data, data + size);
    for (wchar_t& c : line) {
        c = c == 0 ? L'0' : c;
    }
    wchar_t* value = nullptr;
    if (tvk_find_argument(line.c_str(), L"/pi=", &value) == 1 && std::wcslen(value) >= size) {
        std::abort();
    }
    std::free(value);
    return 0;
}
