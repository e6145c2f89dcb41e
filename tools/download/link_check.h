// The checks of a signed download link (tools/tvkserve/signed_link.h has
// the scheme) that need no key: which parameters a link ends with, its key
// id, its expiry and lifetime, the text its MAC covers and the MAC it
// claims. The server computes the HMAC with OpenSSL and the edge with
// WebCrypto; both read links with these functions, so that a link gets the
// same answer, for the same reason, from both.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/download/config_json.h"

namespace download {

// The bytes of an HMAC-SHA256.
inline constexpr std::size_t kLinkMacSize = 32;

// Why a link was not taken, as a refusal and the metrics name it.
enum class LinkFailure {
    kMissing,     // no signed link, or not the three parameters a link ends with
    kUnknownKey,  // a key id the server does not have
    kExpired,     // its expiry has passed
    kLifetime,    // its expiry lies further ahead than max_lifetime allows
    kSignature,   // its signature is not the key's for this target
};
// "missing", "unknown key", "expired", "lifetime", "signature".
std::string_view LinkFailureWord(LinkFailure failure);
// The same as a metric label: "missing", "unknown_key", ...
std::string_view LinkFailureLabel(LinkFailure failure);
// Every failure, in the order of their numbers.
inline constexpr LinkFailure kLinkFailures[] = {LinkFailure::kMissing, LinkFailure::kUnknownKey,
                                                LinkFailure::kExpired, LinkFailure::kLifetime,
                                                LinkFailure::kSignature};

// One query parameter as the target holds it: where its name begins, the
// name and the value, undecoded.
struct RawParameter {
    std::size_t offset = 0;  // into the path and query, of the name
    std::string_view name;
    std::string_view value;
};
std::vector<RawParameter> RawParameters(std::string_view path_and_query);

struct LinkCheck {
    // Whether the target carries a sig parameter at all.
    bool is_signed = false;
    std::optional<LinkFailure> failure;
    std::string detail;  // one line on what failed
    // The target without expires, key and sig (when it verified).
    std::string_view unsigned_target;
};

// A link read up to its MAC. Without a failure, the MAC of signed_text
// with the key key_id must equal claimed_mac (nothing when sig is not the
// base64url of kLinkMacSize bytes: the link fails its signature check).
struct LinkReading {
    LinkCheck check;
    std::string key_id;
    std::string_view signed_text;
    std::optional<std::vector<std::uint8_t>> claimed_mac;
};

// Reads a request target (origin or absolute form) at time now (Unix
// seconds); has_key says whether a key id is known. The views point into
// target.
LinkReading ReadSignedLink(std::string_view target,
                           const std::function<bool(std::string_view)>& has_key,
                           std::optional<std::chrono::seconds> max_lifetime, std::int64_t now);

// The check of a reading without failure, once its MAC was compared (in
// constant time) with the claimed one.
LinkCheck FinishLinkCheck(const LinkReading& reading, bool mac_matches);

// What a request's link decides: a refusal (403) with its message, or the
// target to select (the unsigned target; the fallback brand's plain
// download for a failed link when one is configured; the target as it is
// for an unsigned request that links do not require).
struct LinkDecision {
    std::optional<LinkFailure> failure;  // counted when set
    std::optional<std::string> refusal;
    std::string target;
};
LinkDecision DecideLink(std::string_view target, const LinkCheck& check,
                        const LinkOptions& options);

}  // namespace download
