#include "tools/tvkserve/serve_config.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <boost/asio/ip/address.hpp>

#include "tools/packaging/tag_signature.h"
#include "tools/tvkserve/regular_file.h"

namespace tvkserve {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// The largest configuration file read; far above any real one.
constexpr std::uintmax_t kMaxConfigSize = 16 * 1024 * 1024;
// The largest limits the configuration may set: beyond them the limits
// would not limit anything a machine has.
constexpr std::uint64_t kMostConnections = 1000000;
constexpr std::uint64_t kMostTagBytes = std::uint64_t{1} << 40;

[[noreturn]] void Fail(const std::string& entry, const std::string& problem) {
    throw ConfigError(entry + ": " + problem);
}

// Ids and query names appear in URLs as they are: letters, digits, '.', '_'
// and '-'.
bool IsUrlName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    });
}

void RequireUrlName(const std::string& entry, std::string_view name) {
    if (!IsUrlName(name)) {
        Fail(entry, "the name '" + std::string(name) +
                        "' must be made of letters, digits, '.', '_' and '-'");
    }
}

// Refuses members other than the known ones, so that a misspelt name does
// not go unnoticed.
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
    package.download_name = String(entry + ".download_name", Member(entry, value, "download_name"));
    const std::string& name = package.download_name;
    if (name.empty() || !IsUtf8(name) || std::any_of(name.begin(), name.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F || c == '/' || c == '\\';
        })) {
        Fail(entry + ".download_name",
             "must be a file name: UTF-8 text without control characters, '/' or '\\'");
    }
    return package;
}

BrandEntry ParseBrand(const std::string& id, const Json& value, const fs::path& base_folder) {
    const std::string entry = "brands." + id;
    RequireUrlName(entry, id);
    RequireKnownMembers(entry, RequireObject(entry, value), {"params", "icon", "picture"});
    BrandEntry brand;
    brand.id = id;
    brand.params = RequireObject(entry + ".params", Member(entry, value, "params"));
    if (const auto icon = value.find("icon"); icon != value.end()) {
        brand.icon = FileName(entry + ".icon", *icon, base_folder);
    }
    if (const auto picture = value.find("picture"); picture != value.end()) {
        brand.picture = FileName(entry + ".picture", *picture, base_folder);
    }
    return brand;
}

QueryParameter ParseQueryParameter(const std::string& name, const Json& value) {
    const std::string entry = "query." + name;
    RequireUrlName(entry, name);
    if (name == kBrandParameter) {
        Fail(entry, "'brand' selects the brand and cannot be configured");
    }
    RequireKnownMembers(entry, RequireObject(entry, value), {"max_length", "pattern"});
    QueryParameter parameter;
    parameter.name = name;
    parameter.max_length = static_cast<std::size_t>(PositiveInteger(
        entry + ".max_length", Member(entry, value, "max_length"), kMaxQueryValueLength));
    parameter.pattern_text = String(entry + ".pattern", Member(entry, value, "pattern"));
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

// A header field's value as it is sent: visible ASCII and spaces inside.
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
    if (const auto required = value.find("required"); required != value.end()) {
        if (!required->is_boolean()) {
            Fail(entry + ".required", "must be true or false");
        }
        links.required = required->get<bool>();
    }
    if (const auto lifetime = value.find("max_lifetime"); lifetime != value.end()) {
        constexpr std::uint64_t kMostLifetime = 10ull * 365 * 86400;
        links.max_lifetime = std::chrono::seconds(
            PositiveInteger(entry + ".max_lifetime", *lifetime, kMostLifetime));
    }
    if (const auto fallback = value.find("fallback_brand"); fallback != value.end()) {
        links.fallback_brand = String(entry + ".fallback_brand", *fallback);
    }
    return links;
}

// Parses text, refusing a member name given twice in one object (the JSON
// library would keep the last one silently).
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
    const Json config = ParseJson(text);
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
        result.cache_control = ParseCacheControl(*cache_control);
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
        if (result.links->fallback_brand && !result.FindBrand(*result.links->fallback_brand)) {
            Fail("links.fallback_brand",
                 "names no configured brand: '" + *result.links->fallback_brand + "'");
        }
        // A signed link's own parameters are no query values.
        for (const std::string_view name : kLinkParameters) {
            if (result.FindQueryParameter(name)) {
                Fail("query." + std::string(name),
                     "names a parameter of signed links (expires, key, sig) and cannot be "
                     "configured with links");
            }
        }
    }
    if (const auto signing = config.find("tag_signing"); signing != config.end()) {
        const std::string entry = "tag_signing";
        RequireKnownMembers(entry, RequireObject(entry, *signing), {"key"});
        result.tag_signing_key =
            FileName(entry + ".key", Member(entry, *signing, "key"), base_folder);
        // The member a signed tag adds is no parameter of its own.
        if (result.FindQueryParameter(packaging::kTagSignatureMember)) {
            Fail("query.tvk_sig", "is the member a signed tag adds (tag_signing)");
        }
        for (const BrandEntry& brand : result.brands) {
            if (brand.params.contains(packaging::kTagSignatureMember)) {
                Fail("brands." + brand.id + ".params.tvk_sig",
                     "is the member a signed tag adds (tag_signing)");
            }
        }
    }
    // A URL adds to a brand's fixed parameters and never replaces one.
    for (const BrandEntry& brand : result.brands) {
        for (const auto& [name, value] : brand.params.items()) {
            if (result.FindQueryParameter(name)) {
                Fail("brands." + brand.id + ".params." + name,
                     "is also a query parameter; a brand's fixed parameters and the query "
                     "parameters must have different names");
            }
        }
    }
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

bool IsUtf8(const std::string& text) {
    // nlohmann refuses to write anything but UTF-8.
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::type_error&) {
        return false;
    }
}

}  // namespace tvkserve
