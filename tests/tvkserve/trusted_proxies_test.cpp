// Trusted proxies: whose X-Forwarded-For names the client, and which client
// it names.
#include "tools/tvkserve/trusted_proxies.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using tvkserve::TrustedProxies;

TEST(TrustedProxies, TakesTheRightMostUntrustedAddressOnlyFromATrustedPeer) {
    TrustedProxies proxies;
    for (const char* entry : {"127.0.0.1", "10.0.0.0/8", "fd00::/8", "::1"}) {
        proxies.Add(entry);
    }
    struct Row {
        const char* what;
        const char* peer;
        const char* forwarded_for;
        const char* client;
    };
    const Row rows[] = {
        {"an untrusted peer's field is ignored", "198.51.100.1", "203.0.113.9", "198.51.100.1"},
        {"no field", "127.0.0.1", "", "127.0.0.1"},
        {"one address", "127.0.0.1", "203.0.113.9", "203.0.113.9"},
        {"what the client wrote left of it is not believed", "10.1.2.3", "192.0.2.66, 203.0.113.9",
         "203.0.113.9"},
        {"trusted proxies on the way are skipped", "127.0.0.1",
         "192.0.2.66,203.0.113.9 , 10.9.9.9,\t127.0.0.1", "203.0.113.9"},
        {"all trusted: the left-most", "127.0.0.1", "10.0.0.2, 10.0.0.3", "10.0.0.2"},
        {"IPv6, bracketed or not, through an IPv6 proxy", "fd12::7", "2001:db8::5, [fd00::1]",
         "2001:db8::5"},
        {"an IPv4-mapped peer is its IPv4 address", "::ffff:10.0.0.1", "203.0.113.9",
         "203.0.113.9"},
        {"empty list elements are skipped", "127.0.0.1", ",203.0.113.9,,", "203.0.113.9"},
        {"a malformed address on the way: the peer", "127.0.0.1", "203.0.113.9, unknown",
         "127.0.0.1"},
        {"an address with a port: the peer", "127.0.0.1", "203.0.113.9:4711", "127.0.0.1"},
        {"malformed but beyond the client: ignored", "127.0.0.1", "garbage, 203.0.113.9",
         "203.0.113.9"},
        {"only blanks", "127.0.0.1", "  ", "127.0.0.1"},
        {"an address with a zone and more: the peer", "127.0.0.1", "2001:db8::1%junk\"x y",
         "127.0.0.1"},
        {"a zone number beyond 32 bits: the peer", "127.0.0.1", "fe80::1%4294967295", "127.0.0.1"},
    };
    for (const Row& row : rows) {
        const auto client =
            proxies.ClientOf(boost::asio::ip::make_address(row.peer), row.forwarded_for);
        EXPECT_EQ(client.to_string(), row.client) << row.what;
    }
}

TEST(TrustedProxies, RefusesEntriesThatAreNoAddressOrPrefix) {
    struct Row {
        const char* entry;
        const char* message;
    };
    const Row rows[] = {
        {"localhost", "must be a numeric IPv4 or IPv6 address"},
        {"", "must be a numeric"},
        {"[::1]", "must be a numeric"},
        {"10.0.0.0/33", "from 0 to 32"},
        {"fd00::/129", "from 0 to 128"},
        {"10.0.0.0/", "from 0 to 32"},
        {"10.0.0.0/8x", "from 0 to 32"},
        {"10.0.0.1/8", "the prefix is 10.0.0.0/8"},
        {"fd00::1/8", "the prefix is fd00::/8"},
    };
    for (const Row& row : rows) {
        TrustedProxies proxies;
        try {
            proxies.Add(row.entry);
            ADD_FAILURE() << "accepted '" << row.entry << "'";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(row.message), std::string::npos)
                << error.what();
        }
    }
}

}  // namespace
