#include "package/base64.h"

#include <array>

namespace {

// Marks a byte outside the alphabet; every sextet value is below it.
constexpr std::uint8_t kNotBase64 = 0x80;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of every byte: its position in the alphabet, or kNotBase64.
// "=", white space, the URL-safe "-" and "_" and every byte from 0x80 up
// are outside the alphabet.
constexpr std::array<std::uint8_t, 256> MakeSextetTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& value : table) {
        value = kNotBase64;
    }
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kSextets = MakeSextetTable();

// Characters per group and the bytes a full group gives.
constexpr std::size_t kGroupChars = 4;
constexpr std::size_t kGroupBytes = 3;

// The most bytes a text of this length can give: three per full group, and
// one or two for a final group of two or three characters.
constexpr std::size_t MaxDecodedSize(std::size_t length) {
    const std::size_t rest = length % kGroupChars;
    return length / kGroupChars * kGroupBytes + (rest > 1 ? rest - 1 : 0);
}

}  // namespace

std::vector<std::uint8_t> Base64Decode(std::string_view text) {
    // Sized once for the longest possible result and cut back at the end,
    // so the output never grows while decoding.
    std::vector<std::uint8_t> output(MaxDecodedSize(text.size()));
    std::uint8_t* out = output.data();
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t length = text.size();

    // Whole groups, as long as all four characters are in the alphabet.
    std::size_t at = 0;
    while (length - at >= kGroupChars) {
        const std::uint32_t s0 = kSextets[in[at]];
        const std::uint32_t s1 = kSextets[in[at + 1]];
        const std::uint32_t s2 = kSextets[in[at + 2]];
        const std::uint32_t s3 = kSextets[in[at + 3]];
        if ((s0 | s1 | s2 | s3) & kNotBase64) {
            break;
        }
        const std::uint32_t bits = (s0 << 18) | (s1 << 12) | (s2 << 6) | s3;
        out[0] = static_cast<std::uint8_t>(bits >> 16);
        out[1] = static_cast<std::uint8_t>(bits >> 8);
        out[2] = static_cast<std::uint8_t>(bits);
        out += kGroupBytes;
        at += kGroupChars;
    }

    // The last group: the alphabet characters before the end of the text or
    // before the byte that stopped the loop above, at most three of them.
    std::uint32_t sextets[kGroupChars - 1] = {};
    std::size_t count = 0;
    while (count < kGroupChars - 1 && at + count < length &&
           kSextets[in[at + count]] != kNotBase64) {
        sextets[count] = kSextets[in[at + count]];
        ++count;
    }
    // A lone character gives no byte; the bits of the last character that
    // reach no byte are dropped.
    if (count >= 2) {
        *out++ = static_cast<std::uint8_t>((sextets[0] << 2) | (sextets[1] >> 4));
    }
    if (count == 3) {
        *out++ = static_cast<std::uint8_t>(((sextets[1] & 0x0F) << 4) | (sextets[2] >> 2));
    }

    output.resize(static_cast<std::size_t>(out - output.data()));
    return output;
}
