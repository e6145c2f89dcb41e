// The download server's configuration: a JSON file that names the address to
// listen on, the packages, the brands and the query parameters a download
// URL may carry. Loading checks the file's shape and every value; the files
// it names are read and checked by the catalog.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <re2/re2.h>
#include <nlohmann/json.hpp>

#include "tools/tvkserve/trusted_proxies.h"

namespace tvkserve {

// A configuration the server cannot start with; the message names the entry
// ("packages.setup.file: ...").
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The query parameter that selects the brand; no configured parameter may
// take its name.
inline constexpr std::string_view kBrandParameter = "brand";
// The parameters a signed link ends with, in this order.
inline constexpr std::string_view kLinkParameters[] = {"expires", "key", "sig"};
// The longest value a query parameter may be configured to take, in bytes;
// it also bounds the work of matching a value against its pattern.
inline constexpr std::size_t kMaxQueryValueLength = 1024;
// The most threads the configuration may ask for.
inline constexpr unsigned kMaxThreads = 256;

// What a download's Cache-Control says unless the configuration says
// otherwise: caches may store it but ask each time (the entity tag makes
// that a cheap 304).
inline constexpr std::string_view kDefaultCacheControl = "no-cache";

struct ListenAddress {
    std::string address;     // numeric IPv4 or IPv6
    std::uint16_t port = 0;  // 0: any free port (the server says which)

    bool operator==(const ListenAddress&) const = default;
    // As the configuration writes it: "127.0.0.1:8080", "[::1]:8080".
    std::string ToString() const;
};

struct PackageEntry {
    std::string id;
    std::filesystem::path file;
    std::string download_name;  // UTF-8
};

struct BrandEntry {
    std::string id;
    nlohmann::ordered_json params;  // an object; its members keep their order
    std::optional<std::filesystem::path> icon;
    std::optional<std::filesystem::path> picture;
};

struct QueryParameter {
    std::string name;
    std::size_t max_length = 0;  // bytes of the decoded value
    std::string pattern_text;
    // RE2 (linear time in the value's length, whatever the pattern); the
    // whole value must match.
    std::shared_ptr<const re2::RE2> pattern;
};

// What the server lets its clients take, so that no client can hold it: the
// defaults let a machine with 2 cores and 1 GiB to spare serve the most
// connections they allow.
struct ServeLimits {
    // Open connections; a connection beyond them is answered 503 (with
    // Retry-After) and closed.
    std::size_t max_connections = 10000;
    // Open connections from one address that is not a trusted proxy (0: no
    // such limit); beyond them, as beyond max_connections.
    std::size_t max_connections_per_client = 0;
    // The bytes the running downloads hold, each for what it makes of its
    // own (the tag's lengths, parameters block and trailer, the header
    // bytes); a download that would pass it is answered 503.
    std::uint64_t max_tag_bytes = 64 << 20;
    // How long a request's header may take to arrive, how long a kept-alive
    // connection may wait for its next request, and how long a download may
    // go without the client taking any of it.
    std::chrono::milliseconds request_header_timeout{30000};
    std::chrono::milliseconds keep_alive_timeout{15000};
    std::chrono::milliseconds stall_timeout{60000};
};

// Signed links: a download URL carries a signature that the vendor's web
// site made with a key it shares with the server (signed_link.h).
struct LinkKeyEntry {
    std::string id;
    std::filesystem::path file;  // one line: the key in base64url
};
struct LinksConfig {
    std::vector<LinkKeyEntry> keys;  // several at once, so that keys rotate
    // An unsigned request is refused (403); with false it is served as
    // without links, while a signed one must still verify.
    bool required = true;
    // An expiry further ahead than this is refused.
    std::optional<std::chrono::seconds> max_lifetime;
    // Served, with no query values, instead of refusing a link that is
    // missing, wrong or expired.
    std::optional<std::string> fallback_brand;
};

struct ServeConfig {
    ListenAddress listen;
    // Where GET /metrics and GET /healthz are answered; none by default
    // (they are for the operator, not the public).
    std::optional<ListenAddress> metrics_listen;
    unsigned threads = 1;
    ServeLimits limits;
    // Whose X-Forwarded-For names the client in the access log.
    TrustedProxies trusted_proxies;
    // The Cache-Control of downloads (200, 206, 304); empty: none sent.
    std::string cache_control{kDefaultCacheControl};
    std::vector<PackageEntry> packages;
    std::vector<BrandEntry> brands;
    std::vector<QueryParameter> query;  // in the configuration's order
    std::optional<LinksConfig> links;   // none: downloads need no signed link
    // The RSA key (PEM) that signs every tag (packaging/tag_signature.h);
    // none: tags are not signed.
    std::optional<std::filesystem::path> tag_signing_key;

    const PackageEntry* FindPackage(std::string_view id) const;
    const BrandEntry* FindBrand(std::string_view id) const;
    const QueryParameter* FindQueryParameter(std::string_view name) const;
};

// The configuration in text; relative file names are taken from base_folder.
ServeConfig ParseConfig(std::string_view text, const std::filesystem::path& base_folder);
// The configuration file; relative file names are taken from its folder.
ServeConfig LoadConfig(const std::filesystem::path& file);

// Whether text is UTF-8 (names in the configuration, values in a URL): the
// parameters text is JSON, which carries nothing else.
bool IsUtf8(const std::string& text);

}  // namespace tvkserve
