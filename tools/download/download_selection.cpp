#include "tools/download/download_selection.h"

#include <algorithm>
#include <map>
#include <optional>

#include "tools/download/client_text.h"

namespace download {

namespace {

using Json = nlohmann::ordered_json;

// How much of a name or value that the client sent is repeated in a message.
constexpr std::size_t kEchoLength = 64;

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The percent-decoded text, or nothing when an escape is broken.
std::optional<std::string> Decode(std::string_view text, bool plus_is_space) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int high = HexDigit(text[i + 1]);
            const int low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (plus_is_space && text[i] == '+') {
            decoded += ' ';
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

// A name or value the client sent, as a message repeats it.
std::string Echo(std::string_view text) {
    return ClientText(text, kEchoLength);
}

RequestRejection BadParameter(std::string_view name, const std::string& problem) {
    return {400, "query parameter '" + Echo(name) + "': " + problem};
}

// The index of the query parameter called name, or nothing.
std::optional<std::size_t> FindQuery(const SelectionRules& rules, std::string_view name) {
    for (std::size_t i = 0; i < rules.QueryCount(); ++i) {
        if (rules.Query(i).name == name) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string_view PathAndQuery(std::string_view target) {
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (target.size() >= scheme.size() &&
            std::equal(scheme.begin(), scheme.end(), target.begin(),
                       [](char a, char b) { return a == (b | 0x20); })) {
            const std::size_t path = target.find('/', scheme.size());
            return path == std::string_view::npos ? std::string_view("/") : target.substr(path);
        }
    }
    return target;
}

std::variant<Selection, RequestRejection> SelectDownload(std::string_view target,
                                                         const SelectionRules& rules) {
    const std::string_view path_and_query = PathAndQuery(target);
    const std::size_t question = path_and_query.find('?');
    const std::string_view path = path_and_query.substr(0, question);
    const std::string_view query = question == std::string_view::npos
                                       ? std::string_view()
                                       : path_and_query.substr(question + 1);
    if (!path.starts_with(kDownloadPath)) {
        return RequestRejection{404, "there is nothing here; downloads are under /download/"};
    }
    const std::optional<std::string> package_id = Decode(path.substr(kDownloadPath.size()), false);
    if (!package_id) {
        return RequestRejection{400, "the path has a broken percent escape"};
    }
    Selection selection;
    if (!rules.HasPackage(*package_id)) {
        return RequestRejection{404, "no package '" + Echo(*package_id) + "'"};
    }
    selection.package_id = *package_id;

    // Each name once, in the URL's order; empty pieces ("a=1&&b=2") are
    // skipped as browsers do.
    std::map<std::string, std::string> values;
    std::size_t start = 0;
    while (start <= query.size() && !query.empty()) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string_view piece = query.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) {
            continue;
        }
        const std::size_t equals = piece.find('=');
        const std::optional<std::string> name = Decode(piece.substr(0, equals), true);
        if (!name) {
            return BadParameter(piece.substr(0, equals), "its name has a broken percent escape");
        }
        const std::optional<std::string> value = Decode(
            equals == std::string_view::npos ? std::string_view() : piece.substr(equals + 1), true);
        if (!value) {
            return BadParameter(*name, "its value has a broken percent escape");
        }
        if (*name != kBrandParameter && !FindQuery(rules, *name)) {
            return BadParameter(*name, "not a parameter this server takes");
        }
        if (!values.emplace(*name, *value).second) {
            return BadParameter(*name, "given more than once");
        }
    }

    const auto brand = values.find(std::string(kBrandParameter));
    if (brand == values.end()) {
        return RequestRejection{400,
                                "query parameter 'brand' is missing; a download names its brand"};
    }
    const Json* brand_params = rules.BrandParams(brand->second);
    if (!brand_params) {
        return RequestRejection{404, "no brand '" + Echo(brand->second) + "'"};
    }
    selection.brand_id = brand->second;

    Json params = *brand_params;
    for (std::size_t i = 0; i < rules.QueryCount(); ++i) {
        const QueryRule& parameter = rules.Query(i);
        const auto found = values.find(parameter.name);
        if (found == values.end()) {
            continue;
        }
        const std::string& value = found->second;
        if (value.size() > parameter.max_length) {
            return BadParameter(parameter.name,
                                "longer than " + std::to_string(parameter.max_length) + " bytes");
        }
        if (!IsUtf8(value)) {
            return BadParameter(parameter.name, "its value is not UTF-8 text");
        }
        if (!rules.Matches(i, value)) {
            return BadParameter(parameter.name,
                                "its value does not match " + parameter.pattern_text);
        }
        params[parameter.name] = value;
    }
    selection.params_text = params.dump();
    return selection;
}

bool IsUtf8(const std::string& text) {
    // nlohmann refuses to write anything but UTF-8.
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::type_error&) {
        return false;
    }
}

}  // namespace download
