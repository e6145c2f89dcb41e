// Base64Decode decodes the leading run of standard base64 text and never
// fails on what follows it.
#include "package/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes BytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

struct DecodeCase {
    const char* what;
    std::string text;
    std::string expected;  // the decoded bytes
};

TEST(Base64Decode, DecodesTheLeadingRunAndIgnoresTheRest) {
    const DecodeCase cases[] = {
        {"empty text gives nothing", "", ""},
        {"one group gives three bytes", "YWJj", "abc"},
        {"three characters give two bytes without padding", "YWI", "ab"},
        {"three characters give two bytes with padding", "YWI=", "ab"},
        {"two characters give one byte without padding", "YQ", "a"},
        {"two characters give one byte with padding", "YQ==", "a"},
        {"a lone trailing character is dropped", "YWJjZ", "abc"},
        {"a lone character alone gives nothing", "Y", ""},
        {"a line break ends decoding", "YWJj\nZGVm", "abc"},
        {"a space ends decoding", "YWJj ZGVm", "abc"},
        {"'=' mid-text ends decoding, valid text behind it ignored", "YWJj=ZGVm", "abc"},
        {"'=' inside a group keeps the characters before it", "YWJjZG=Vm", "abcd"},
        {"URL-safe '-' ends decoding", "YWJj-_8A", "abc"},
        {"URL-safe '_' ends decoding", "YWJjZGV_", "abcde"},
        {"a byte of 0x80 ends decoding", "YWJj\x80ZGVm", "abc"},
        {"a zero byte ends decoding", "YWJj\0ZGVm"s, "abc"},
        {"nothing but '='", "====", ""},
        {"a leading '=' gives nothing", "=YWJj", ""},
        {"'+' and '/' are the last two values", "++//", "\xfb\xef\xff"},
        {"the full alphabet in order",
         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/",
         "\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97\x61\x96\x9b\x71"
         "\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e"
         "\xbb\xf3\xdf\xbf"s},
        {"unused low bits of the last character are dropped", "YR", "a"},
        {"unused low bits of a three-character group are dropped", "YWJ", "ab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Base64Decode(c.text), BytesOf(c.expected));
    }
}

// An encoder written from RFC 4648 independently of the decoder, with
// padding; the decoder must give back exactly what it was given.
std::string Encode(const Bytes& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += kAlphabet[(n >> 6) & 63];
        text += kAlphabet[n & 63];
    }
    if (bytes.size() - i == 1) {
        const unsigned n = bytes[i] << 16;
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += "==";
    } else if (bytes.size() - i == 2) {
        const unsigned n = (bytes[i] << 16) | (bytes[i + 1] << 8);
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += kAlphabet[(n >> 6) & 63];
        text += '=';
    }
    return text;
}

TEST(Base64Decode, RoundTripsRandomDataOfEveryLengthModuloThree) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t length = 0; length < 300; ++length) {
        Bytes data(length);
        for (auto& b : data) {
            b = static_cast<std::uint8_t>(byte(random));
        }
        const std::string text = Encode(data);
        SCOPED_TRACE(length);
        EXPECT_EQ(Base64Decode(text), data);
        // The padding is neither required nor counted.
        const std::string unpadded = text.substr(0, text.find('='));
        EXPECT_EQ(Base64Decode(unpadded), data);
    }
}

TEST(Base64Decode, StopsAtTheFirstForeignByteOfEveryValue) {
    // Every byte outside the alphabet ends decoding where it stands, whichever
    // position of a group it takes.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const Bytes full = Base64Decode("YWJjZGVm");  // "abcdef"
    for (int value = 0; value < 256; ++value) {
        const char c = static_cast<char>(value);
        if (alphabet.find(c) != std::string::npos) {
            continue;
        }
        for (std::size_t at = 4; at < 8; ++at) {
            std::string text = "YWJjZGVm";
            text.insert(at, 1, c);
            SCOPED_TRACE(testing::Message() << "byte " << value << " at " << at);
            const std::size_t kept_chars = at - 4;  // of the second group
            const std::size_t kept_bytes = 3 + (kept_chars > 1 ? kept_chars - 1 : 0);
            EXPECT_EQ(Base64Decode(text), Bytes(full.begin(), full.begin() + kept_bytes));
        }
    }
}

}  // namespace
