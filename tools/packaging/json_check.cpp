#include "tools/packaging/json_check.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>

namespace packaging {

namespace {

using Json = nlohmann::json;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Accepts every value and keeps nothing: checking a parameters file of many
// megabytes builds no document. Records the first error.
struct Checker : nlohmann::json_sax<Json> {
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& error) override {
        error_position = position;
        error_text = error.what();
        return false;
    }

    std::size_t error_position = 0;  // 1-based: the byte at which reading stopped
    std::string error_text;
};

// What is wrong, without the library's error number and its own position:
// "[json.exception.parse_error.101] parse error at line 1, column 5: what".
std::string Reason(const std::string& text) {
    const std::size_t start = text.find("parse error");
    const std::size_t colon = text.find(": ", start == std::string::npos ? 0 : start);
    return colon == std::string::npos ? text : text.substr(colon + 2);
}

bool IsUtf8Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The line and column of the byte at a 1-based position, as an editor shows
// them: the byte order mark takes no column, a UTF-8 sequence takes one.
std::string Place(std::string_view text, std::size_t position) {
    const std::size_t end = std::min(position == 0 ? 0 : position - 1, text.size());
    const std::string_view before = text.substr(0, end);
    const std::size_t line = 1 + std::count(before.begin(), before.end(), '\n');
    const std::size_t newline = before.rfind('\n');
    std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
    if (line_start == 0 && before.starts_with(kByteOrderMark)) {
        line_start = kByteOrderMark.size();
    }
    const std::string_view on_line = before.substr(std::min(line_start, before.size()));
    const std::size_t column =
        1 + static_cast<std::size_t>(std::count_if(on_line.begin(), on_line.end(),
                                                   [](char c) { return !IsUtf8Continuation(c); }));
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

std::string CheckJson(std::string_view text) {
    Checker checker;
    if (Json::sax_parse(text.begin(), text.end(), &checker)) {
        return {};
    }
    return Place(text, checker.error_position) + ": " + Reason(checker.error_text);
}

}  // namespace packaging
