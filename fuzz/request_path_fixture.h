// The content the request-path fuzz target serves, made once per process and
// the same in every process: a small signed package (a PE32 image with an
// installer behind its section, its certificate table holding a PKCS#7
// signature that OpenSSL made), brands with and without an icon and a
// picture, query parameters with RE2 patterns, and four configurations of
// them: two without links or tag signing, two with signed links (required;
// or optional with a fallback brand) and signed tags. The files are written
// to a temporary folder, loaded by the server's own configuration reader and
// catalog, and removed again (the catalog keeps the package open). Its keys
// are fixed texts, so entity tags, signed tags and links come out the same
// in every process: a seed that one process made with the right entity tag
// or a correctly signed link holds in the next.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/tvkserve/served_content.h"

namespace request_path_fuzz {

// The clock requests are planned at, in Unix seconds (2026-01-01T00:00:00Z).
inline constexpr std::int64_t kNow = 1767225600;

// The configurations, chosen by an input's first byte.
enum Configuration : std::size_t {
    kPlain,           // no links, no tag signing
    kNoCacheControl,  // the same without Cache-Control
    kSignedLinks,     // links required (max_lifetime 86400), tags signed
    kFallbackLinks,   // links optional, fallback brand "plain", tags signed
    kConfigurationCount,
};

struct Fixture {
    // The package file's bytes as the catalog serves them.
    std::vector<std::uint8_t> package;
    std::array<std::shared_ptr<const tvkserve::ServedContent>, kConfigurationCount> contents;
};

// Made on the first call; throws when the content cannot be made.
const Fixture& TheFixture();

// target with expires, key and sig appended, as the vendor's site signs a
// link: with key k1, valid for an hour from kNow. The content must have links.
std::string SignedTarget(const tvkserve::ServedContent& content, std::string_view target);

}  // namespace request_path_fuzz
