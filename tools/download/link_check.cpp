#include "tools/download/link_check.h"

#include <algorithm>
#include <charconv>

#include "tools/download/download_selection.h"
#include "tools/packaging/base64_url.h"

namespace download {

namespace {

// An expiry has at most this many digits: beyond it the time means nothing.
constexpr std::size_t kMostExpiryDigits = 18;

LinkReading Failed(LinkFailure failure, std::string detail, bool is_signed = true) {
    LinkReading reading;
    reading.check.is_signed = is_signed;
    reading.check.failure = failure;
    reading.check.detail = std::move(detail);
    return reading;
}

}  // namespace

std::string_view LinkFailureWord(LinkFailure failure) {
    switch (failure) {
        case LinkFailure::kMissing:
            return "missing";
        case LinkFailure::kUnknownKey:
            return "unknown key";
        case LinkFailure::kExpired:
            return "expired";
        case LinkFailure::kLifetime:
            return "lifetime";
        case LinkFailure::kSignature:
            break;
    }
    return "signature";
}

std::string_view LinkFailureLabel(LinkFailure failure) {
    return failure == LinkFailure::kUnknownKey ? "unknown_key" : LinkFailureWord(failure);
}

std::vector<RawParameter> RawParameters(std::string_view path_and_query) {
    std::vector<RawParameter> parameters;
    const std::size_t question = path_and_query.find('?');
    if (question == std::string_view::npos) {
        return parameters;
    }
    std::size_t start = question + 1;
    for (;;) {
        const std::size_t end = std::min(path_and_query.find('&', start), path_and_query.size());
        const std::string_view piece = path_and_query.substr(start, end - start);
        const std::size_t equals = piece.find('=');
        parameters.push_back(
            {start, piece.substr(0, equals),
             equals == std::string_view::npos ? std::string_view() : piece.substr(equals + 1)});
        if (end == path_and_query.size()) {
            return parameters;
        }
        start = end + 1;
    }
}

LinkReading ReadSignedLink(std::string_view target,
                           const std::function<bool(std::string_view)>& has_key,
                           std::optional<std::chrono::seconds> max_lifetime, std::int64_t now) {
    const std::string_view path_and_query = PathAndQuery(target);
    const std::vector<RawParameter> parameters = RawParameters(path_and_query);
    const auto sig = std::find_if(parameters.begin(), parameters.end(),
                                  [](const RawParameter& p) { return p.name == "sig"; });
    if (sig == parameters.end()) {
        return Failed(LinkFailure::kMissing, "the download link is not signed", false);
    }
    if (sig + 1 != parameters.end()) {
        return Failed(LinkFailure::kSignature, "sig must be the link's last parameter");
    }
    const std::size_t count = parameters.size();
    if (count < 3 || parameters[count - 3].name != "expires" ||
        parameters[count - 2].name != "key") {
        return Failed(LinkFailure::kMissing,
                      "a signed link ends with the parameters expires, key and sig");
    }
    const std::string_view expires_text = parameters[count - 3].value;
    std::int64_t expires = 0;
    const auto [end, status] =
        std::from_chars(expires_text.data(), expires_text.data() + expires_text.size(), expires);
    if (expires_text.empty() || expires_text.size() > kMostExpiryDigits || status != std::errc() ||
        end != expires_text.data() + expires_text.size() || expires_text.front() == '-') {
        return Failed(LinkFailure::kMissing, "its expires is not a time in Unix seconds");
    }

    const std::string_view key_id = parameters[count - 2].value;
    if (!has_key(key_id)) {
        return Failed(LinkFailure::kUnknownKey, "the server has no key of that id");
    }
    if (now > expires) {
        return Failed(LinkFailure::kExpired, "the link expired " + std::to_string(now - expires) +
                                                 " seconds ago; ask for a new one");
    }
    if (max_lifetime && expires - now > max_lifetime->count()) {
        return Failed(LinkFailure::kLifetime,
                      "its expiry lies further ahead than this server takes (" +
                          std::to_string(max_lifetime->count()) + " seconds)");
    }
    LinkReading reading;
    reading.check.is_signed = true;
    reading.key_id = std::string(key_id);
    // The signed text ends at the '&' in front of sig.
    reading.signed_text = path_and_query.substr(0, sig->offset - 1);
    reading.claimed_mac = packaging::Base64UrlDecode(sig->value);
    if (reading.claimed_mac && reading.claimed_mac->size() != kLinkMacSize) {
        reading.claimed_mac.reset();
    }
    // Without the '?' or '&' in front of expires.
    reading.check.unsigned_target = path_and_query.substr(0, parameters[count - 3].offset - 1);
    return reading;
}

LinkCheck FinishLinkCheck(const LinkReading& reading, bool mac_matches) {
    LinkCheck check = reading.check;
    if (!check.failure && (!reading.claimed_mac || !mac_matches)) {
        check.failure = LinkFailure::kSignature;
        check.detail = "its signature does not fit the link";
        check.unsigned_target = {};
    }
    return check;
}

LinkDecision DecideLink(std::string_view target, const LinkCheck& check,
                        const LinkOptions& options) {
    LinkDecision decision;
    decision.target = std::string(target);
    if (check.failure && (check.is_signed || options.required)) {
        decision.failure = check.failure;
        if (!options.fallback_brand) {
            decision.refusal = "the download link is not valid: " +
                               std::string(LinkFailureWord(*check.failure)) + ": " + check.detail;
            return decision;
        }
        // The plain product, whatever the link asked for.
        const std::string_view path_and_query = PathAndQuery(target);
        decision.target = std::string(path_and_query.substr(0, path_and_query.find('?'))) +
                          "?brand=" + *options.fallback_brand;
    } else if (check.is_signed) {
        decision.target = std::string(check.unsigned_target);
    }
    return decision;
}

}  // namespace download
