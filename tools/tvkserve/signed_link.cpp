#include "tools/tvkserve/signed_link.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <charconv>

#include "tools/packaging/base64_url.h"
#include "tools/packaging/tool_files.h"
#include "tools/tvkserve/download_request.h"
#include "tools/tvkserve/regular_file.h"

namespace tvkserve {

namespace {

using packaging::CommandError;

// A key file holds one line; anything longer is no key file.
constexpr std::uint64_t kMostKeyFileBytes = 4096;
// The bytes of an HMAC-SHA256.
constexpr std::size_t kMacSize = 32;
// An expiry has at most this many digits: beyond it the time means nothing.
constexpr std::size_t kMostExpiryDigits = 18;
// What stands in the access log for a link's signature.
constexpr std::string_view kRedacted = "***";

// One query parameter as the target holds it: where its name begins, the
// name and the value, undecoded.
struct RawParameter {
    std::size_t offset = 0;  // into the path and query, of the name
    std::string_view name;
    std::string_view value;
};

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

std::vector<std::uint8_t> Mac(const LinkKey& key, std::string_view message) {
    std::vector<std::uint8_t> mac(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (!HMAC(EVP_sha256(), key.bytes().data(), static_cast<int>(key.bytes().size()),
              reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac.data(),
              &size)) {
        throw CommandError("OpenSSL cannot compute an HMAC-SHA256");
    }
    mac.resize(size);
    return mac;
}

LinkCheck Failed(LinkFailure failure, std::string detail, bool is_signed = true) {
    LinkCheck check;
    check.is_signed = is_signed;
    check.failure = failure;
    check.detail = std::move(detail);
    return check;
}

}  // namespace

LinkKey::~LinkKey() {
    OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

std::unique_ptr<const LinkKey> ReadLinkKey(const std::filesystem::path& file) {
    const RegularFile opened(file);
    if (opened.size() > kMostKeyFileBytes) {
        throw CommandError("it is " + std::to_string(opened.size()) +
                           " bytes; a key file holds one line");
    }
    std::vector<std::uint8_t> text = opened.ReadAll(kMostKeyFileBytes);
    std::string_view line(reinterpret_cast<const char*>(text.data()), text.size());
    if (line.ends_with("\n")) {
        line.remove_suffix(line.ends_with("\r\n") ? 2 : 1);
    }
    std::optional<std::vector<std::uint8_t>> bytes = packaging::Base64UrlDecode(line);
    OPENSSL_cleanse(text.data(), text.size());
    if (!bytes) {
        throw CommandError("it does not hold one line of base64url (A-Z a-z 0-9 - _, no padding)");
    }
    if (bytes->size() < kLeastLinkKeyBytes) {
        const std::size_t got = bytes->size();
        OPENSSL_cleanse(bytes->data(), bytes->size());
        throw CommandError("its key has " + std::to_string(got) + " bytes; a link key has " +
                           std::to_string(kLeastLinkKeyBytes) + " at least");
    }
    return std::make_unique<const LinkKey>(std::move(*bytes));
}

LinkKeys::LinkKeys(const LinksConfig& links) {
    for (const LinkKeyEntry& entry : links.keys) {
        try {
            keys_.emplace(entry.id, ReadLinkKey(entry.file));
        } catch (const CommandError& error) {
            throw ConfigError("links.keys." + entry.id + ".file: '" +
                              packaging::PathToUtf8(entry.file) + "': " + error.what());
        }
    }
}

const LinkKey* LinkKeys::Find(std::string_view id) const {
    const auto found = keys_.find(id);
    return found == keys_.end() ? nullptr : found->second.get();
}

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

LinkCheck CheckLink(std::string_view target, const LinkKeys& keys,
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

    const LinkKey* key = keys.Find(parameters[count - 2].value);
    if (!key) {
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
    // The signed text ends at the '&' in front of sig.
    const std::string_view signed_text = path_and_query.substr(0, sig->offset - 1);
    const std::optional<std::vector<std::uint8_t>> claimed = packaging::Base64UrlDecode(sig->value);
    const std::vector<std::uint8_t> mac = Mac(*key, signed_text);
    if (!claimed || claimed->size() != kMacSize || mac.size() != kMacSize ||
        CRYPTO_memcmp(claimed->data(), mac.data(), kMacSize) != 0) {
        return Failed(LinkFailure::kSignature, "its signature does not fit the link");
    }
    LinkCheck check;
    check.is_signed = true;
    // Without the '?' or '&' in front of expires.
    check.unsigned_target = path_and_query.substr(0, parameters[count - 3].offset - 1);
    return check;
}

std::string SignLink(std::string_view url, std::string_view key_id, const LinkKey& key,
                     std::int64_t expires) {
    if (url.find('#') != std::string_view::npos) {
        throw CommandError("the URL has a fragment ('#'), which a client never sends");
    }
    for (const RawParameter& parameter : RawParameters(PathAndQuery(url))) {
        for (const std::string_view name : kLinkParameters) {
            if (parameter.name == name) {
                throw CommandError("the URL already has a parameter '" + std::string(name) +
                                   "': a signed link ends with its own expires, key and sig");
            }
        }
    }
    std::string signed_url(url);
    signed_url += PathAndQuery(url).find('?') == std::string_view::npos ? "?" : "&";
    signed_url += "expires=" + std::to_string(expires) + "&key=" + std::string(key_id);
    const std::vector<std::uint8_t> mac = Mac(key, PathAndQuery(signed_url));
    return signed_url + "&sig=" + packaging::Base64UrlEncode(mac);
}

std::string RedactedTarget(std::string_view target) {
    const std::string_view path_and_query = PathAndQuery(target);
    const auto base = static_cast<std::size_t>(path_and_query.data() - target.data());
    std::string redacted;
    std::size_t copied = 0;
    for (const RawParameter& parameter : RawParameters(path_and_query)) {
        if (parameter.name != "sig" || parameter.value.empty()) {
            continue;
        }
        const std::size_t value = base + parameter.offset + parameter.name.size() + 1;
        redacted += target.substr(copied, value - copied);
        redacted += kRedacted;
        copied = value + parameter.value.size();
    }
    return redacted + std::string(target.substr(copied));
}

}  // namespace tvkserve
