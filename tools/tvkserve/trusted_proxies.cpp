#include "tools/tvkserve/trusted_proxies.h"

#include <charconv>
#include <optional>
#include <stdexcept>

#include <boost/asio/ip/network_v4.hpp>

namespace tvkserve {

namespace {

namespace ip = boost::asio::ip;

// The bits of an IPv4 and an IPv6 address; an IPv4-mapped IPv6 address
// holds the IPv4 address in its last 32 bits.
constexpr unsigned kV4Bits = 32;
constexpr unsigned kV6Bits = 128;
constexpr unsigned kMappedPrefixBits = kV6Bits - kV4Bits;

// An address as written in the configuration or in X-Forwarded-For (IPv6
// in brackets too): a plain numeric IPv4 or IPv6 address and nothing else
// (no zone, no port, no name); an IPv4-mapped IPv6 address is taken as the
// IPv4 one.
std::optional<ip::address> ParseAddress(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    constexpr std::size_t kLongestAddress = 45;  // an IPv6 address with an IPv4 tail
    if (text.empty() || text.size() > kLongestAddress ||
        text.find_first_not_of("0123456789abcdefABCDEF.:") != std::string_view::npos) {
        return std::nullopt;
    }
    boost::system::error_code error;
    const ip::address address = ip::make_address(std::string(text), error);
    if (error) {
        return std::nullopt;
    }
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return ip::make_address_v4(ip::v4_mapped, address.to_v6());
    }
    return address;
}

// Without a scope: proxies are told apart by their address alone.
ip::address_v6 AsV6(const ip::address& address) {
    return address.is_v4() ? ip::make_address_v6(ip::v4_mapped, address.to_v4())
                           : ip::address_v6(address.to_v6().to_bytes());
}

std::string_view Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

}  // namespace

void TrustedProxies::Add(std::string_view entry) {
    const std::string quoted = "'" + std::string(entry) + "'";
    const std::size_t slash = entry.find('/');
    const std::optional<ip::address> address = ParseAddress(entry.substr(0, slash));
    if (!address || entry.front() == '[') {
        throw std::invalid_argument(quoted +
                                    " must be a numeric IPv4 or IPv6 address, or one with a prefix "
                                    "length, such as \"10.0.0.0/8\" or \"fd00::/8\"");
    }
    const unsigned bits = address->is_v4() ? kV4Bits : kV6Bits;
    unsigned prefix = bits;
    if (slash != std::string_view::npos) {
        const std::string_view digits = entry.substr(slash + 1);
        const auto [end, status] =
            std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (digits.empty() || status != std::errc() || end != digits.data() + digits.size() ||
            prefix > bits) {
            throw std::invalid_argument(quoted + ": the prefix length must be a number from 0 to " +
                                        std::to_string(bits));
        }
    }
    const ip::network_v6 network(
        AsV6(*address),
        static_cast<unsigned short>(address->is_v4() ? kMappedPrefixBits + prefix : prefix));
    if (network != network.canonical()) {
        const std::string meant =
            address->is_v4() ? ip::network_v4(address->to_v4(), static_cast<unsigned short>(prefix))
                                   .canonical()
                                   .to_string()
                             : network.canonical().to_string();
        throw std::invalid_argument(quoted +
                                    " has address bits set beyond its prefix length; "
                                    "the prefix is " +
                                    meant);
    }
    networks_.push_back(network);
}

bool TrustedProxies::Contains(const ip::address& address) const {
    const ip::address_v6 v6 = AsV6(address);
    for (const ip::network_v6& network : networks_) {
        if (ip::network_v6(v6, network.prefix_length()).canonical() == network) {
            return true;
        }
    }
    return false;
}

ip::address TrustedProxies::ClientOf(const ip::address& peer,
                                     std::string_view forwarded_for) const {
    if (!Contains(peer)) {
        return peer;
    }
    std::optional<ip::address> client;
    std::size_t end = forwarded_for.size();
    for (;;) {
        const std::size_t comma =
            end == 0 ? std::string_view::npos : forwarded_for.rfind(',', end - 1);
        const std::size_t start = comma == std::string_view::npos ? 0 : comma + 1;
        // Empty list elements are allowed in HTTP and skipped.
        if (const std::string_view entry = Trimmed(forwarded_for.substr(start, end - start));
            !entry.empty()) {
            client = ParseAddress(entry);
            if (!client) {
                return peer;
            }
            if (!Contains(*client)) {
                return *client;
            }
        }
        if (comma == std::string_view::npos) {
            break;
        }
        end = comma;
    }
    // Every address is a trusted proxy's: the left-most one sent the request.
    return client.value_or(peer);
}

}  // namespace tvkserve
