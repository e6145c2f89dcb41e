#include "tools/download/http_fields.h"

#include <charconv>
#include <optional>

namespace download {

namespace {

constexpr std::string_view kBytesUnit = "bytes=";

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A run of decimal digits, or nothing (also on overflow).
std::optional<std::uint64_t> Number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || status != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Calls each(tag) for every element of a comma-separated list of entity tags.
template <typename Each>
bool AnyTag(std::string_view list, Each&& each) {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        if (each(Trim(list.substr(0, comma)))) {
            return true;
        }
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    return false;
}

// Bytes that RFC 8187 lets stand as they are in an ext-value.
bool IsAttrChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

RangeRequest ParseRange(std::string_view field, std::uint64_t size) {
    RangeRequest whole;
    field = Trim(field);
    if (!field.starts_with(kBytesUnit)) {
        return whole;
    }
    const std::string_view range_text = Trim(field.substr(kBytesUnit.size()));
    const std::size_t dash = range_text.find('-');
    if (dash == std::string_view::npos || range_text.find(',') != std::string_view::npos) {
        return whole;
    }
    const std::string_view first_text = Trim(range_text.substr(0, dash));
    const std::string_view last_text = Trim(range_text.substr(dash + 1));
    RangeRequest range;
    range.kind = RangeRequest::Kind::kPart;
    if (first_text.empty()) {
        const auto suffix = Number(last_text);
        if (!suffix) {
            return whole;
        }
        if (*suffix == 0 || size == 0) {
            return {RangeRequest::Kind::kUnsatisfiable, 0, 0};
        }
        range.first = *suffix >= size ? 0 : size - *suffix;
        range.last = size - 1;
        return range;
    }
    const auto first = Number(first_text);
    const auto last =
        last_text.empty() ? std::optional<std::uint64_t>(UINT64_MAX) : Number(last_text);
    if (!first || !last || *last < *first) {
        return whole;
    }
    if (*first >= size) {
        return {RangeRequest::Kind::kUnsatisfiable, 0, 0};
    }
    range.first = *first;
    range.last = std::min(*last, size - 1);
    return range;
}

std::string ContentRange(const RangeRequest& range, std::uint64_t size) {
    if (range.kind == RangeRequest::Kind::kUnsatisfiable) {
        return "bytes */" + std::to_string(size);
    }
    return "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) + "/" +
           std::to_string(size);
}

bool NoneMatchHolds(std::string_view if_none_match, std::string_view etag) {
    if (Trim(if_none_match) == "*") {
        return true;
    }
    return AnyTag(if_none_match, [&](std::string_view tag) {
        if (tag.starts_with("W/")) {
            tag.remove_prefix(2);
        }
        return tag == etag;
    });
}

bool IfRangeHolds(std::string_view if_range, std::string_view etag) {
    return Trim(if_range) == etag;
}

std::string ContentDisposition(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string fallback;
    std::string encoded;
    bool plain = true;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (IsAttrChar(byte)) {
            encoded += name[i];
        } else {
            encoded += {'%', kHex[byte >> 4], kHex[byte & 0xF]};
        }
        if (byte >= 0x80 || name[i] == '"' || name[i] == '\\') {
            plain = false;
            // One '_' for each character: continuation bytes add none.
            if ((byte & 0xC0) != 0x80) {
                fallback += '_';
            }
        } else {
            fallback += name[i];
        }
    }
    std::string value = "attachment; filename=\"" + fallback + "\"";
    if (!plain) {
        value += "; filename*=UTF-8''" + encoded;
    }
    return value;
}

}  // namespace download
