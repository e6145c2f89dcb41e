// Signed download links. The vendor's web site signs each download link with
// a key it shares with the server, so that nobody else can mint a download
// with chosen query values (a partner id, a campaign) from the vendor's own
// server. A signed link's last three query parameters are
//
//   expires  the link's end, in Unix seconds;
//   key      the id of the key it was signed with (keys rotate by id);
//   sig      the HMAC-SHA256, with that key, of the request target exactly
//            as sent, from the path's first '/' up to but not including
//            "&sig=", in base64url without padding.
//
// The host is not signed (the same link works through a CDN or a front);
// the path, every other query value and the expiry are. The check needs no
// file and no lookup in the catalog, so it runs before anything else a
// request may cost, and compares in constant time. Keys are secret: no
// message, log line or metric holds one, and the access log holds no
// link's signature.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/download/link_check.h"
#include "tools/tvkserve/serve_config.h"

namespace tvkserve {

// The fewest bytes a link key may have.
inline constexpr std::size_t kLeastLinkKeyBytes = 16;

// A key's bytes, wiped from memory when they go.
class LinkKey {
  public:
    explicit LinkKey(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    ~LinkKey();
    LinkKey(const LinkKey&) = delete;
    LinkKey& operator=(const LinkKey&) = delete;

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

  private:
    std::vector<std::uint8_t> bytes_;
};

// Reads a key file: one line of base64url holding at least
// kLeastLinkKeyBytes bytes. Throws packaging::CommandError saying what is
// wrong (never what the file holds).
std::unique_ptr<const LinkKey> ReadLinkKey(const std::filesystem::path& file);

// The keys of a configuration's links, by id.
class LinkKeys {
  public:
    LinkKeys() = default;
    // Reads each key file; throws ConfigError naming the entry at fault.
    explicit LinkKeys(const LinksConfig& links);

    const LinkKey* Find(std::string_view id) const;

  private:
    std::map<std::string, std::unique_ptr<const LinkKey>, std::less<>> keys_;
};

using download::kLinkFailures;
using download::LinkCheck;
using download::LinkFailure;
using download::LinkFailureLabel;
using download::LinkFailureWord;

// Checks a request target (origin or absolute form) at time now (Unix
// seconds). A target without a sig parameter is not signed (failure:
// kMissing); whether that is refused is the caller's choice.
LinkCheck CheckLink(std::string_view target, const LinkKeys& keys,
                    std::optional<std::chrono::seconds> max_lifetime, std::int64_t now);

// url (a full URL or a request target) with expires, key and sig appended.
// Throws packaging::CommandError for a URL that already ends with a link's
// parameters or has a fragment.
std::string SignLink(std::string_view url, std::string_view key_id, const LinkKey& key,
                     std::int64_t expires);

// The target as the access log shows it: a link's signature replaced, so
// that whoever reads the log cannot use the link.
std::string RedactedTarget(std::string_view target);

}  // namespace tvkserve
