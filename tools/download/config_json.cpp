#include "tools/download/config_json.h"

#include <algorithm>
#include <set>

#include "tools/packaging/tag_signature.h"

namespace download {

namespace {

bool IsUrlName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    });
}

bool HasQueryRule(const std::vector<const QueryRule*>& query, std::string_view name) {
    return std::any_of(query.begin(), query.end(),
                       [&](const QueryRule* rule) { return rule->name == name; });
}

}  // namespace

void Fail(const std::string& entry, const std::string& problem) {
    throw ConfigError(entry + ": " + problem);
}

Json ParseJson(std::string_view text) {
    std::vector<std::set<std::string>> open_objects;
    std::string duplicate;
    const Json::parser_callback_t track = [&](int, Json::parse_event_t event, Json& parsed) {
        if (event == Json::parse_event_t::object_start) {
            open_objects.emplace_back();
        } else if (event == Json::parse_event_t::object_end) {
            open_objects.pop_back();
        } else if (event == Json::parse_event_t::key && duplicate.empty() &&
                   !open_objects.back().insert(parsed.get<std::string>()).second) {
            duplicate = parsed.get<std::string>();
        }
        return true;
    };
    Json config;
    try {
        config = Json::parse(text.begin(), text.end(), track);
    } catch (const Json::exception& error) {
        throw ConfigError(std::string("not valid JSON: ") + error.what());
    }
    if (!duplicate.empty()) {
        throw ConfigError("the member name \"" + duplicate + "\" is given twice in one object");
    }
    return config;
}

void RequireKnownMembers(const std::string& entry, const Json& object,
                         std::initializer_list<std::string_view> known) {
    for (const auto& [name, value] : object.items()) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            Fail(entry, "unknown member \"" + name + "\"");
        }
    }
}

const Json& RequireObject(const std::string& entry, const Json& value) {
    if (!value.is_object()) {
        Fail(entry, "must be a JSON object");
    }
    return value;
}

const Json& Member(const std::string& entry, const Json& object, const std::string& name) {
    const auto found = object.find(name);
    if (found == object.end()) {
        Fail(entry, "missing member \"" + name + "\"");
    }
    return *found;
}

std::string String(const std::string& entry, const Json& value) {
    if (!value.is_string()) {
        Fail(entry, "must be a string");
    }
    return value.get<std::string>();
}

std::uint64_t PositiveInteger(const std::string& entry, const Json& value, std::uint64_t max) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() == 0 ||
        value.get<std::uint64_t>() > max) {
        Fail(entry, "must be a whole number from 1 to " + std::to_string(max));
    }
    return value.get<std::uint64_t>();
}

void RequireUrlName(const std::string& entry, std::string_view name) {
    if (!IsUrlName(name)) {
        Fail(entry, "the name '" + std::string(name) +
                        "' must be made of letters, digits, '.', '_' and '-'");
    }
}

std::string DownloadName(const std::string& entry, const Json& value) {
    const std::string name = String(entry, value);
    if (name.empty() || !IsUtf8(name) || std::any_of(name.begin(), name.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F || c == '/' || c == '\\';
        })) {
        Fail(entry, "must be a file name: UTF-8 text without control characters, '/' or '\\'");
    }
    return name;
}

Json BrandParams(const std::string& entry, const Json& value) {
    return RequireObject(entry, value);
}

QueryRule ParseQueryRule(const std::string& name, const Json& value) {
    const std::string entry = "query." + name;
    RequireUrlName(entry, name);
    if (name == kBrandParameter) {
        Fail(entry, "'brand' selects the brand and cannot be configured");
    }
    RequireKnownMembers(entry, RequireObject(entry, value), {"max_length", "pattern"});
    QueryRule rule;
    rule.name = name;
    rule.max_length = static_cast<std::size_t>(PositiveInteger(
        entry + ".max_length", Member(entry, value, "max_length"), kMaxQueryValueLength));
    rule.pattern_text = String(entry + ".pattern", Member(entry, value, "pattern"));
    return rule;
}

std::string ParseCacheControl(const Json& value) {
    const std::string entry = "cache_control";
    const std::string text = String(entry, value);
    if (std::any_of(text.begin(), text.end(), [](char c) { return c < 0x20 || c > 0x7E; }) ||
        text.starts_with(' ') || text.ends_with(' ')) {
        Fail(entry,
             "must be a Cache-Control value of printable ASCII, such as \"no-cache\" or "
             "\"public, max-age=300\" (or \"\" to send none)");
    }
    return text;
}

LinkOptions ParseLinkOptions(const Json& links) {
    const std::string entry = "links";
    LinkOptions options;
    if (const auto required = links.find("required"); required != links.end()) {
        if (!required->is_boolean()) {
            Fail(entry + ".required", "must be true or false");
        }
        options.required = required->get<bool>();
    }
    if (const auto lifetime = links.find("max_lifetime"); lifetime != links.end()) {
        constexpr std::uint64_t kMostLifetime = 10ull * 365 * 86400;
        options.max_lifetime = std::chrono::seconds(
            PositiveInteger(entry + ".max_lifetime", *lifetime, kMostLifetime));
    }
    if (const auto fallback = links.find("fallback_brand"); fallback != links.end()) {
        options.fallback_brand = String(entry + ".fallback_brand", *fallback);
    }
    return options;
}

void CheckDownloadRules(const std::vector<BrandParamsEntry>& brands,
                        const std::vector<const QueryRule*>& query,
                        const std::optional<LinkOptions>& links, bool tag_signing) {
    if (links) {
        if (links->fallback_brand &&
            std::none_of(brands.begin(), brands.end(), [&](const BrandParamsEntry& brand) {
                return *brand.id == *links->fallback_brand;
            })) {
            Fail("links.fallback_brand",
                 "names no configured brand: '" + *links->fallback_brand + "'");
        }
        // A signed link's own parameters are no query values.
        for (const std::string_view name : kLinkParameters) {
            if (HasQueryRule(query, name)) {
                Fail("query." + std::string(name),
                     "names a parameter of signed links (expires, key, sig) and cannot be "
                     "configured with links");
            }
        }
    }
    if (tag_signing) {
        // The member a signed tag adds is no parameter of its own.
        if (HasQueryRule(query, packaging::kTagSignatureMember)) {
            Fail("query.tvk_sig", "is the member a signed tag adds (tag_signing)");
        }
        for (const BrandParamsEntry& brand : brands) {
            if (brand.params->contains(packaging::kTagSignatureMember)) {
                Fail("brands." + *brand.id + ".params.tvk_sig",
                     "is the member a signed tag adds (tag_signing)");
            }
        }
    }
    // A URL adds to a brand's fixed parameters and never replaces one.
    for (const BrandParamsEntry& brand : brands) {
        for (const auto& [name, value] : brand.params->items()) {
            if (HasQueryRule(query, name)) {
                Fail("brands." + *brand.id + ".params." + name,
                     "is also a query parameter; a brand's fixed parameters and the query "
                     "parameters must have different names");
            }
        }
    }
}

}  // namespace download
