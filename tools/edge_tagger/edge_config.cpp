#include "tools/edge_tagger/edge_config.h"

#include <algorithm>

namespace edge_tagger {

namespace {

using download::Fail;
using download::Json;
using download::Member;
using download::RequireKnownMembers;
using download::RequireObject;
using download::RequireUrlName;
using download::String;

// The members of tvkserve's configuration that belong to a server process.
constexpr std::string_view kServerMembers[] = {"listen", "metrics_listen", "threads", "limits",
                                               "trusted_proxies"};

std::string Url(const std::string& entry, const Json& value) {
    const std::string text = String(entry, value);
    if (!text.starts_with("https://") && !text.starts_with("http://")) {
        Fail(entry, "must be an absolute http:// or https:// URL");
    }
    return text;
}

// The name of a secret (an environment binding of the runtime).
std::string Secret(const std::string& entry, const Json& object) {
    RequireKnownMembers(entry, RequireObject(entry, object), {"secret"});
    const std::string name = String(entry + ".secret", Member(entry, object, "secret"));
    RequireUrlName(entry + ".secret", name);
    return name;
}

EdgePackage ParsePackage(const std::string& id, const Json& value) {
    const std::string entry = "packages." + id;
    RequireUrlName(entry, id);
    RequireKnownMembers(entry, RequireObject(entry, value), {"manifest", "body", "download_name"});
    EdgePackage package;
    package.id = id;
    package.manifest_url = Url(entry + ".manifest", Member(entry, value, "manifest"));
    package.body_url = Url(entry + ".body", Member(entry, value, "body"));
    package.download_name =
        download::DownloadName(entry + ".download_name", Member(entry, value, "download_name"));
    return package;
}

EdgeBrand ParseBrand(const std::string& id, const Json& value) {
    const std::string entry = "brands." + id;
    RequireUrlName(entry, id);
    RequireKnownMembers(entry, RequireObject(entry, value), {"params", "icon", "picture"});
    EdgeBrand brand;
    brand.id = id;
    brand.params = download::BrandParams(entry + ".params", Member(entry, value, "params"));
    if (const auto icon = value.find("icon"); icon != value.end()) {
        brand.icon_url = Url(entry + ".icon", *icon);
    }
    if (const auto picture = value.find("picture"); picture != value.end()) {
        brand.picture_url = Url(entry + ".picture", *picture);
    }
    return brand;
}

EdgeQueryParameter ParseQueryParameter(const std::string& name, const Json& value) {
    EdgeQueryParameter parameter;
    static_cast<download::QueryRule&>(parameter) = download::ParseQueryRule(name, value);
    try {
        parameter.pattern = std::make_shared<const download::QueryPattern>(parameter.pattern_text);
    } catch (const download::PatternError& error) {
        Fail("query." + name + ".pattern",
             "'" + parameter.pattern_text +
                 "' is not a pattern the edge takes (a subset of RE2's syntax): " + error.what());
    }
    return parameter;
}

EdgeLinks ParseLinks(const Json& value) {
    const std::string entry = "links";
    RequireKnownMembers(entry, RequireObject(entry, value),
                        {"keys", "required", "max_lifetime", "fallback_brand"});
    EdgeLinks links;
    const Json& keys = RequireObject(entry + ".keys", Member(entry, value, "keys"));
    if (keys.empty()) {
        Fail(entry + ".keys", "names no key; a signed link names the key it was signed with");
    }
    for (const auto& [id, key] : keys.items()) {
        const std::string key_entry = entry + ".keys." + id;
        RequireUrlName(key_entry, id);
        links.key_secrets.emplace_back(id, Secret(key_entry, key));
    }
    static_cast<download::LinkOptions&>(links) = download::ParseLinkOptions(value);
    return links;
}

}  // namespace

const EdgePackage* EdgeConfig::FindPackage(std::string_view id) const {
    const auto found = std::find_if(packages.begin(), packages.end(),
                                    [&](const EdgePackage& package) { return package.id == id; });
    return found == packages.end() ? nullptr : &*found;
}

const EdgeBrand* EdgeConfig::FindBrand(std::string_view id) const {
    const auto found = std::find_if(brands.begin(), brands.end(),
                                    [&](const EdgeBrand& brand) { return brand.id == id; });
    return found == brands.end() ? nullptr : &*found;
}

EdgeConfig ParseEdgeConfig(std::string_view text) {
    const Json config = download::ParseJson(text);
    RequireObject("the configuration", config);
    for (const std::string_view member : kServerMembers) {
        if (config.contains(member)) {
            Fail(std::string(member), "belongs to tvkserve's process; the edge runtime listens");
        }
    }
    RequireKnownMembers("the configuration", config,
                        {"cache_control", "packages", "brands", "query", "links", "tag_signing"});
    EdgeConfig result;
    if (const auto cache_control = config.find("cache_control"); cache_control != config.end()) {
        result.cache_control = download::ParseCacheControl(*cache_control);
    }
    const Json& packages =
        RequireObject("packages", Member("the configuration", config, "packages"));
    if (packages.empty()) {
        Fail("packages", "names no package");
    }
    for (const auto& [id, value] : packages.items()) {
        result.packages.push_back(ParsePackage(id, value));
    }
    const Json& brands = RequireObject("brands", Member("the configuration", config, "brands"));
    if (brands.empty()) {
        Fail("brands", "names no brand; every download names one");
    }
    for (const auto& [id, value] : brands.items()) {
        result.brands.push_back(ParseBrand(id, value));
    }
    if (const auto query = config.find("query"); query != config.end()) {
        for (const auto& [name, value] : RequireObject("query", *query).items()) {
            result.query.push_back(ParseQueryParameter(name, value));
        }
    }
    if (const auto links = config.find("links"); links != config.end()) {
        result.links = ParseLinks(*links);
    }
    if (const auto signing = config.find("tag_signing"); signing != config.end()) {
        result.tag_signing_secret = Secret("tag_signing", *signing);
    }
    download::CheckDownloadRules(result.brands, result.query, result.links,
                                 result.tag_signing_secret.has_value());
    return result;
}

}  // namespace edge_tagger
