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
// What stands in the access log for a link's signature.
constexpr std::string_view kRedacted = "***";

using download::RawParameter;
using download::RawParameters;

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

LinkCheck CheckLink(std::string_view target, const LinkKeys& keys,
                    std::optional<std::chrono::seconds> max_lifetime, std::int64_t now) {
    const download::LinkReading reading = download::ReadSignedLink(
        target, [&](std::string_view id) { return keys.Find(id) != nullptr; }, max_lifetime, now);
    if (reading.check.failure) {
        return reading.check;
    }
    const std::vector<std::uint8_t> mac = Mac(*keys.Find(reading.key_id), reading.signed_text);
    return download::FinishLinkCheck(
        reading, reading.claimed_mac && mac.size() == download::kLinkMacSize &&
                     CRYPTO_memcmp(reading.claimed_mac->data(), mac.data(), mac.size()) == 0);
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
