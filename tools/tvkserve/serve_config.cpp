#include "tools/tvkserve/serve_config.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <thread>

#include <boost/asio/ip/address.hpp>

#include "tools/packaging/tag_signature.h"
#include "tools/tvkserve/regular_file.h"

namespace tvkserve {

namespace fs = std::filesystem;
using download::ConfigError;
using download::Fail;
using download::Member;
using download::PositiveInteger;
using download::RequireKnownMembers;
using download::RequireObject;
using download::RequireUrlName;
using download::String;
using Json = nlohmann::ordered_json;

namespace {

// The largest configuration file read; far above any real one.
constexpr std::uintmax_t kMaxConfigSize = 16 * 1024 * 1024;
// The largest limits the configuration may set: beyond them the limits
// would not limit anything a machine has.
constexpr std::uint64_t kMostConnections = 1000000;
constexpr std::uint64_t kMostTagBytes = std::uint64_t{1} << 40;

fs::path FileName(const std::string& entry, const Json& value, const fs::path& base_folder) {
    const std::string text = String(entry, value);
    if (text.empty()) {
        Fail(entry, "must name a file");
    }
    const fs::path path = fs::path(text);
    return path.is_absolute() ? path : base_folder / path;
}

ListenAddress ParseListen(const std::string& entry, const Json& value) {
    const std::string text = String(entry, value);
    const std::size_t colon = text.rfind(':');
    const auto wrong = [&] {
        Fail(entry, "'" + text +
                        "' must be a numeric address and a port, such as \"127.0.0.1:8080\" or "
                        "\"[::1]:8080\"");
    };
    if (colon == std::string::npos) {
        wrong();
    }
    ListenAddress listen;
    listen.address = text.substr(0, colon);
    if (listen.address.size() >= 2 && listen.address.front() == '[' &&
        listen.address.back() == ']') {
        listen.address = listen.address.substr(1, listen.address.size() - 2);
    }
    boost::system::error_code error;
    boost::asio::ip::make_address(listen.address, error);
    const std::string port = text.substr(colon + 1);
    const auto [end, status] = std::from_chars(port.data(), port.data() + port.size(), listen.port);
    if (error || port.empty() || status != std::errc() || end != port.data() + port.size()) {
        wrong();
    }
    return listen;
}

PackageEntry ParsePackage(const std::string& id, const Json& value, const fs::path& base_folder) {
    const std::string entry = "packages." + id;
    RequireUrlName(entry, id);
    RequireKnownMembers(entry, RequireObject(entry, value), {"file", "download_name"});
    PackageEntry package;
    package.id = id;
    package.file = FileName(entry + ".file", Member(entry, value, "file"), base_folder);
    package.download_name =
        download::DownloadName(entry + ".download_name", Member(entry, value, "download_name"));
    return package;
}

BrandEntry ParseBrand(const std::string& id, const Json& value, const fs::path& base_folder) {
    const std::string entry = "brands." + id;
    RequireUrlName(entry, id);
    RequireKnownMembers(entry, RequireObject(entry, value), {"params", "icon", "picture"});
    BrandEntry brand;
    brand.id = id;
    brand.params = download::BrandParams(entry + ".params", Member(entry, value, "params"));
    if (const auto icon = value.find("icon"); icon != value.end()) {
        brand.icon = FileName(entry + ".icon", *icon, base_folder);
    }
    if (const auto picture = value.find("picture"); picture != value.end()) {
        brand.picture = FileName(entry + ".picture", *picture, base_folder);
    }
    return brand;
}

QueryParameter ParseQueryParameter(const std::string& name, const Json& value) {
    QueryParameter parameter;
    static_cast<download::QueryRule&>(parameter) = download::ParseQueryRule(name, value);
    const std::string entry = "query." + name;
    RE2::Options options;
    options.set_log_errors(false);
    auto pattern = std::make_shared<const re2::RE2>(parameter.pattern_text, options);
    if (!pattern->ok()) {
        Fail(entry + ".pattern",
             "'" + parameter.pattern_text +
                 "' is not a regular expression in RE2's syntax: " + pattern->error());
    }
    parameter.pattern = std::move(pattern);
    return parameter;
}

TrustedProxies ParseTrustedProxies(const Json& value) {
    const std::string entry = "trusted_proxies";
    if (!value.is_array()) {
        Fail(entry, "must be a list of addresses and prefixes, such as [\"10.0.0.0/8\", \"::1\"]");
    }
    TrustedProxies proxies;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string item = entry + "[" + std::to_string(i) + "]";
        try {
            proxies.Add(String(item, value[i]));
        } catch (const std::invalid_argument& error) {
            Fail(item, error.what());
        }
    }
    return proxies;
}

// A time in seconds (fractions allowed), from a millisecond to a day.
std::chrono::milliseconds Seconds(const std::string& entry, const Json& value) {
    constexpr double kMostSeconds = 86400;
    if (!value.is_number() ||
        !(value.get<double>() >= 0.001 && value.get<double>() <= kMostSeconds)) {
        Fail(entry, "must be a number of seconds from 0.001 to 86400");
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(value.get<double>() * 1000 + 0.5));
}

ServeLimits ParseLimits(const Json& value) {
    const std::string entry = "limits";
    RequireKnownMembers(entry, RequireObject(entry, value),
                        {"max_connections", "max_connections_per_client", "max_tag_bytes",
                         "request_header_timeout", "keep_alive_timeout", "stall_timeout"});
    ServeLimits limits;
    if (const auto found = value.find("max_connections"); found != value.end()) {
        limits.max_connections = static_cast<std::size_t>(
            PositiveInteger(entry + ".max_connections", *found, kMostConnections));
    }
    if (const auto found = value.find("max_connections_per_client"); found != value.end()) {
        limits.max_connections_per_client = static_cast<std::size_t>(
            PositiveInteger(entry + ".max_connections_per_client", *found, kMostConnections));
    }
    if (const auto found = value.find("max_tag_bytes"); found != value.end()) {
        limits.max_tag_bytes = PositiveInteger(entry + ".max_tag_bytes", *found, kMostTagBytes);
    }
    const struct {
        const char* name;
        std::chrono::milliseconds& field;
    } timeouts[] = {{"request_header_timeout", limits.request_header_timeout},
                    {"keep_alive_timeout", limits.keep_alive_timeout},
                    {"stall_timeout", limits.stall_timeout}};
    for (const auto& timeout : timeouts) {
        if (const auto found = value.find(timeout.name); found != value.end()) {
            timeout.field = Seconds(entry + "." + timeout.name, *found);
        }
    }
    return limits;
}

LinksConfig ParseLinks(const Json& value, const fs::path& base_folder) {
    const std::string entry = "links";
    RequireKnownMembers(entry, RequireObject(entry, value),
                        {"keys", "required", "max_lifetime", "fallback_brand"});
    LinksConfig links;
    const Json& keys = RequireObject(entry + ".keys", Member(entry, value, "keys"));
    if (keys.empty()) {
        Fail(entry + ".keys", "names no key; a signed link names the key it was signed with");
    }
    for (const auto& [id, key] : keys.items()) {
        const std::string key_entry = entry + ".keys." + id;
        RequireUrlName(key_entry, id);
        RequireKnownMembers(key_entry, RequireObject(key_entry, key), {"file"});
        links.keys.push_back(
            {id, FileName(key_entry + ".file", Member(key_entry, key, "file"), base_folder)});
    }
    static_cast<download::LinkOptions&>(links) = download::ParseLinkOptions(value);
    return links;
}

}  // namespace

std::string ListenAddress::ToString() const {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

const PackageEntry* ServeConfig::FindPackage(std::string_view id) const {
    const auto found = std::find_if(packages.begin(), packages.end(),
                                    [&](const PackageEntry& package) { return package.id == id; });
    return found == packages.end() ? nullptr : &*found;
}

const BrandEntry* ServeConfig::FindBrand(std::string_view id) const {
    const auto found = std::find_if(brands.begin(), brands.end(),
                                    [&](const BrandEntry& brand) { return brand.id == id; });
    return found == brands.end() ? nullptr : &*found;
}

const QueryParameter* ServeConfig::FindQueryParameter(std::string_view name) const {
    const auto found = std::find_if(query.begin(), query.end(),
                                    [&](const QueryParameter& p) { return p.name == name; });
    return found == query.end() ? nullptr : &*found;
}

ServeConfig ParseConfig(std::string_view text, const fs::path& base_folder) {
    const Json config = download::ParseJson(text);
    RequireObject("the configuration", config);
    RequireKnownMembers("the configuration", config,
                        {"listen", "metrics_listen", "threads", "limits", "trusted_proxies",
                         "cache_control", "packages", "brands", "query", "links", "tag_signing"});
    ServeConfig result;
    result.listen = ParseListen("listen", Member("the configuration", config, "listen"));
    if (const auto metrics = config.find("metrics_listen"); metrics != config.end()) {
        result.metrics_listen = ParseListen("metrics_listen", *metrics);
        if (*result.metrics_listen == result.listen && result.listen.port != 0) {
            Fail("metrics_listen", "must differ from listen: metrics are not for the public");
        }
    }
    result.threads = std::max(1u, std::thread::hardware_concurrency());
    if (const auto threads = config.find("threads"); threads != config.end()) {
        result.threads = static_cast<unsigned>(PositiveInteger("threads", *threads, kMaxThreads));
    }
    if (const auto limits = config.find("limits"); limits != config.end()) {
        result.limits = ParseLimits(*limits);
    }
    if (const auto proxies = config.find("trusted_proxies"); proxies != config.end()) {
        result.trusted_proxies = ParseTrustedProxies(*proxies);
    }
    if (const auto cache_control = config.find("cache_control"); cache_control != config.end()) {
        result.cache_control = download::ParseCacheControl(*cache_control);
    }
    const Json& packages =
        RequireObject("packages", Member("the configuration", config, "packages"));
    if (packages.empty()) {
        Fail("packages", "names no package");
    }
    for (const auto& [id, value] : packages.items()) {
        result.packages.push_back(ParsePackage(id, value, base_folder));
    }
    const Json& brands = RequireObject("brands", Member("the configuration", config, "brands"));
    if (brands.empty()) {
        Fail("brands", "names no brand; every download names one");
    }
    for (const auto& [id, value] : brands.items()) {
        result.brands.push_back(ParseBrand(id, value, base_folder));
    }
    if (const auto query = config.find("query"); query != config.end()) {
        for (const auto& [name, value] : RequireObject("query", *query).items()) {
            result.query.push_back(ParseQueryParameter(name, value));
        }
    }
    if (const auto links = config.find("links"); links != config.end()) {
        result.links = ParseLinks(*links, base_folder);
    }
    if (const auto signing = config.find("tag_signing"); signing != config.end()) {
        const std::string entry = "tag_signing";
        RequireKnownMembers(entry, RequireObject(entry, *signing), {"key"});
        result.tag_signing_key =
            FileName(entry + ".key", Member(entry, *signing, "key"), base_folder);
    }
    download::CheckDownloadRules(result.brands, result.query, result.links,
                                 result.tag_signing_key.has_value());
    return result;
}

ServeConfig LoadConfig(const fs::path& file) {
    std::vector<std::uint8_t> text;
    try {
        const RegularFile opened(file);
        if (opened.size() > kMaxConfigSize) {
            throw ConfigError("it is " + std::to_string(opened.size()) +
                              " bytes; a configuration may have " + std::to_string(kMaxConfigSize) +
                              " at most");
        }
        text = opened.ReadAll(kMaxConfigSize);
    } catch (const packaging::CommandError& error) {
        throw ConfigError(error.what());
    }
    return ParseConfig(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()),
                       fs::absolute(file).parent_path());
}

}  // namespace tvkserve
