// The edge's configuration: tvkserve's members where they apply, with URLs
// where tvkserve names files and the names of the runtime's secrets where it
// names key files:
//
//   {"cache_control": "no-cache",
//    "packages": {"setup": {"manifest": "https://origin/setup.manifest.json",
//                           "body": "https://origin/setup-signed.exe",
//                           "download_name": "Setup.exe"}},
//    "brands": {"acme": {"params": {...}, "icon": "https://origin/acme.ico",
//                        "picture": "https://origin/acme.bmp"}},
//    "query": {"ref": {"max_length": 32, "pattern": "[A-Za-z0-9_-]*"}},
//    "links": {"keys": {"k1": {"secret": "LINK_KEY_K1"}}, "required": true,
//              "max_lifetime": 86400, "fallback_brand": "plain"},
//    "tag_signing": {"secret": "TAG_SIGNING_KEY"}}
//
// Query patterns are download::QueryPattern's subset of RE2's syntax.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/download/config_json.h"
#include "tools/download/query_pattern.h"

namespace edge_tagger {

struct EdgePackage {
    std::string id;
    std::string manifest_url;
    std::string body_url;
    std::string download_name;
};

struct EdgeBrand {
    std::string id;
    download::Json params;
    std::optional<std::string> icon_url;
    std::optional<std::string> picture_url;
};

struct EdgeQueryParameter : download::QueryRule {
    std::shared_ptr<const download::QueryPattern> pattern;
};

struct EdgeLinks : download::LinkOptions {
    // Key id -> the name of the secret that holds the key (base64url).
    std::vector<std::pair<std::string, std::string>> key_secrets;
};

struct EdgeConfig {
    std::string cache_control{download::kDefaultCacheControl};
    std::vector<EdgePackage> packages;
    std::vector<EdgeBrand> brands;
    std::vector<EdgeQueryParameter> query;
    std::optional<EdgeLinks> links;
    // The secret that holds the tag signing key (PKCS#8 PEM), or none.
    std::optional<std::string> tag_signing_secret;

    const EdgePackage* FindPackage(std::string_view id) const;
    const EdgeBrand* FindBrand(std::string_view id) const;
};

// Throws download::ConfigError naming the entry at fault.
EdgeConfig ParseEdgeConfig(std::string_view text);

}  // namespace edge_tagger
