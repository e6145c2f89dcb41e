// The checks of a download configuration's JSON that the server and the
// edge share: the shape of the file (unknown members, names given twice),
// the values a URL meets (ids, query parameters, download names, links'
// options, Cache-Control), and the rules between them. Each failure throws
// ConfigError naming the entry at fault ("query.ref.max_length: ...").
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/download/download_selection.h"

namespace download {

using Json = nlohmann::ordered_json;

// A configuration that cannot be served; the message names the entry
// ("packages.setup.file: ...").
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The parameters a signed link ends with, in this order.
inline constexpr std::string_view kLinkParameters[] = {"expires", "key", "sig"};
// The longest value a query parameter may be configured to take, in bytes;
// it also bounds the work of matching a value against its pattern.
inline constexpr std::size_t kMaxQueryValueLength = 1024;
// What a download's Cache-Control says unless the configuration says
// otherwise: caches may store it but ask each time (the entity tag makes
// that a cheap 304).
inline constexpr std::string_view kDefaultCacheControl = "no-cache";

[[noreturn]] void Fail(const std::string& entry, const std::string& problem);

// Parses text, refusing a member name given twice in one object (the JSON
// library would keep the last one silently).
Json ParseJson(std::string_view text);

// Refuses members other than the known ones, so that a misspelt name does
// not go unnoticed.
void RequireKnownMembers(const std::string& entry, const Json& object,
                         std::initializer_list<std::string_view> known);
const Json& RequireObject(const std::string& entry, const Json& value);
const Json& Member(const std::string& entry, const Json& object, const std::string& name);
std::string String(const std::string& entry, const Json& value);
std::uint64_t PositiveInteger(const std::string& entry, const Json& value, std::uint64_t max);

// Ids and query names appear in URLs as they are: letters, digits, '.', '_'
// and '-'.
void RequireUrlName(const std::string& entry, std::string_view name);

// A package's download_name: the name a browser saves under.
std::string DownloadName(const std::string& entry, const Json& value);

// A brand's params: a JSON object.
Json BrandParams(const std::string& entry, const Json& value);

// query.<name>: its max_length and pattern (as text: each side compiles it).
QueryRule ParseQueryRule(const std::string& name, const Json& value);

// A header field's value as it is sent: visible ASCII and spaces inside.
std::string ParseCacheControl(const Json& value);

// What links take besides their keys.
struct LinkOptions {
    // An unsigned request is refused (403); with false it is served as
    // without links, while a signed one must still verify.
    bool required = true;
    // An expiry further ahead than this is refused.
    std::optional<std::chrono::seconds> max_lifetime;
    // Served, with no query values, instead of refusing a link that is
    // missing, wrong or expired.
    std::optional<std::string> fallback_brand;
};
// links.required, links.max_lifetime and links.fallback_brand.
LinkOptions ParseLinkOptions(const Json& links);

// The rules between the entries, checked once all are read: a fallback
// brand names a brand; with links, no query parameter takes a link's
// name; with tag signing, neither a query parameter nor a brand's params
// take the member a signed tag adds; no brand's params member is also a
// query parameter (a URL adds parameters, it never changes a brand's).
struct BrandParamsEntry {
    const std::string* id;
    const Json* params;
};
void CheckDownloadRules(const std::vector<BrandParamsEntry>& brands,
                        const std::vector<const QueryRule*>& query,
                        const std::optional<LinkOptions>& links, bool tag_signing);
// The same for a configuration's own entries: brands with an id and
// params, query parameters that are QueryRules, links that are
// LinkOptions.
template <typename Brand, typename Parameter, typename Links>
void CheckDownloadRules(const std::vector<Brand>& brands, const std::vector<Parameter>& query,
                        const std::optional<Links>& links, bool tag_signing) {
    std::vector<BrandParamsEntry> brand_params;
    for (const Brand& brand : brands) {
        brand_params.push_back({&brand.id, &brand.params});
    }
    std::vector<const QueryRule*> query_rules;
    for (const Parameter& parameter : query) {
        query_rules.push_back(&parameter);
    }
    CheckDownloadRules(brand_params, query_rules,
                       links ? std::optional<LinkOptions>(*links) : std::nullopt, tag_signing);
}

}  // namespace download
