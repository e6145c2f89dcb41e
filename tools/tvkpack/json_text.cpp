#include "tools/tvkpack/json_text.h"

#include <cctype>
#include <cstdint>

namespace tvkpack {

namespace {

constexpr int kMaxDepth = 512;

// Length of the valid UTF-8 sequence at text[at], or 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return overlong || surrogate || code > 0x10FFFF ? 0 : length;
}

class JsonChecker {
  public:
    explicit JsonChecker(std::string_view text) : text_(text) {}

    std::string Check() {
        if (text_.starts_with("\xEF\xBB\xBF")) {
            at_ = 3;
        }
        SkipSpace();
        if (!Value(0)) {
            return error_;
        }
        SkipSpace();
        if (at_ != text_.size()) {
            Fail("unexpected text after the JSON value");
            return error_;
        }
        return {};
    }

  private:
    bool Fail(const char* what) {
        if (error_.empty()) {
            error_ = std::string(what) + " at byte " + std::to_string(at_);
        }
        return false;
    }

    bool AtEnd() const { return at_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[at_]; }

    void SkipSpace() {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
            ++at_;
        }
    }

    bool Value(int depth) {
        if (depth > kMaxDepth) {
            return Fail("the JSON nests too deeply");
        }
        switch (Peek()) {
            case '{':
                return Object(depth);
            case '[':
                return Array(depth);
            case '"':
                return String();
            case 't':
                return Word("true");
            case 'f':
                return Word("false");
            case 'n':
                return Word("null");
            default:
                if (Peek() == '-' || (Peek() >= '0' && Peek() <= '9')) {
                    return Number();
                }
                return Fail(AtEnd() ? "the JSON ends where a value was expected"
                                    : "a value was expected");
        }
    }

    bool Object(int depth) {
        ++at_;  // {
        SkipSpace();
        if (Peek() == '}') {
            ++at_;
            return true;
        }
        while (true) {
            SkipSpace();
            if (Peek() != '"') {
                return Fail("a member name in double quotes was expected");
            }
            if (!String()) {
                return false;
            }
            SkipSpace();
            if (Peek() != ':') {
                return Fail("':' was expected after a member name");
            }
            ++at_;
            SkipSpace();
            if (!Value(depth + 1)) {
                return false;
            }
            SkipSpace();
            if (Peek() == ',') {
                ++at_;
                continue;
            }
            if (Peek() == '}') {
                ++at_;
                return true;
            }
            return Fail("',' or '}' was expected in an object");
        }
    }

    bool Array(int depth) {
        ++at_;  // [
        SkipSpace();
        if (Peek() == ']') {
            ++at_;
            return true;
        }
        while (true) {
            SkipSpace();
            if (!Value(depth + 1)) {
                return false;
            }
            SkipSpace();
            if (Peek() == ',') {
                ++at_;
                continue;
            }
            if (Peek() == ']') {
                ++at_;
                return true;
            }
            return Fail("',' or ']' was expected in an array");
        }
    }

    bool String() {
        ++at_;  // opening quote
        while (true) {
            if (AtEnd()) {
                return Fail("a string is not closed");
            }
            const auto c = static_cast<unsigned char>(Peek());
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) {
                return Fail("a control character must be escaped in a string");
            }
            if (c == '\\') {
                ++at_;
                const char escape = Peek();
                if (escape == 'u') {
                    for (int i = 1; i <= 4; ++i) {
                        if (at_ + i >= text_.size() ||
                            !std::isxdigit(static_cast<unsigned char>(text_[at_ + i]))) {
                            return Fail("'\\u' needs four hexadecimal digits");
                        }
                    }
                    at_ += 5;
                    continue;
                }
                if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos ||
                    AtEnd()) {
                    return Fail("an unknown escape in a string");
                }
                ++at_;
                continue;
            }
            const std::size_t length = Utf8SequenceLength(text_, at_);
            if (length == 0) {
                return Fail("a string holds bytes that are not UTF-8");
            }
            at_ += length;
        }
    }

    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) {
            return Fail("a value was expected");
        }
        at_ += word.size();
        return true;
    }

    bool Digits() {
        const std::size_t start = at_;
        while (Peek() >= '0' && Peek() <= '9') {
            ++at_;
        }
        return at_ > start;
    }

    bool Number() {
        if (Peek() == '-') {
            ++at_;
        }
        if (Peek() == '0') {
            ++at_;
        } else if (!Digits()) {
            return Fail("a number needs digits");
        }
        if (Peek() == '.') {
            ++at_;
            if (!Digits()) {
                return Fail("a number needs digits after '.'");
            }
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++at_;
            if (Peek() == '+' || Peek() == '-') {
                ++at_;
            }
            if (!Digits()) {
                return Fail("a number needs digits in its exponent");
            }
        }
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::string error_;
};

}  // namespace

std::string CheckJson(std::string_view text) {
    return JsonChecker(text).Check();
}

std::string JsonString(std::string_view text) {
    constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                    break;
                }
                if (const std::size_t length = Utf8SequenceLength(text, i); length > 1) {
                    out.append(text.substr(i, length));
                    i += length;
                    continue;
                } else if (length == 0) {
                    out += "\xEF\xBF\xBD";
                    break;
                }
                out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

}  // namespace tvkpack
