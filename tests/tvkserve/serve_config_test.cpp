// The configuration: a good one is read as written; each bad one stops the
// server with a message that names the entry at fault.
#include "tools/tvkserve/serve_config.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using tvkserve::ConfigError;
using tvkserve::ParseConfig;

constexpr char kGood[] = R"({
  "listen": "127.0.0.1:8080",
  "metrics_listen": "127.0.0.1:9180",
  "threads": 3,
  "trusted_proxies": ["127.0.0.1", "10.0.0.0/8"],
  "cache_control": "public, max-age=300",
  "limits": {"max_connections": 500, "stall_timeout": 0.25},
  "packages": {"setup": {"file": "setup.exe", "download_name": "Setup.exe"},
               "abs": {"file": "/srv/a.exe", "download_name": "A.exe"}},
  "brands": {"acme": {"params": {"product": "Demo", "n": [1, 2]}, "icon": "acme.ico"},
             "zeta": {"params": {}}},
  "query": {"ref": {"max_length": 16, "pattern": "[a-z0-9]*"},
            "campaign": {"max_length": 32, "pattern": ".*"}}
})";

// The good configuration with one piece of text replaced.
std::string Changed(const std::string& from, const std::string& to) {
    std::string text = kGood;
    text.replace(text.find(from), from.size(), to);
    return text;
}

TEST(ServeConfig, ReadsTheEntriesInTheirOrderWithFilesBesideTheConfiguration) {
    const tvkserve::ServeConfig config = ParseConfig(kGood, "/etc/tvk");
    EXPECT_EQ(config.listen.address, "127.0.0.1");
    EXPECT_EQ(config.listen.port, 8080);
    EXPECT_EQ(config.metrics_listen->port, 9180);
    EXPECT_EQ(config.threads, 3u);
    EXPECT_TRUE(config.trusted_proxies.Contains(boost::asio::ip::make_address("10.2.3.4")));
    EXPECT_EQ(config.cache_control, "public, max-age=300");
    EXPECT_EQ(config.limits.max_connections, 500u);
    EXPECT_EQ(config.limits.stall_timeout, std::chrono::milliseconds(250));
    EXPECT_EQ(config.limits.keep_alive_timeout, tvkserve::ServeLimits().keep_alive_timeout);
    ASSERT_EQ(config.packages.size(), 2u);
    EXPECT_EQ(config.packages[0].file, "/etc/tvk/setup.exe");
    EXPECT_EQ(config.packages[1].file, "/srv/a.exe");
    EXPECT_EQ(config.FindPackage("setup")->download_name, "Setup.exe");
    EXPECT_EQ(config.FindBrand("acme")->params.dump(), R"({"product":"Demo","n":[1,2]})");
    EXPECT_EQ(config.FindBrand("acme")->icon, "/etc/tvk/acme.ico");
    EXPECT_FALSE(config.FindBrand("zeta")->picture);
    ASSERT_EQ(config.query.size(), 2u);
    EXPECT_EQ(config.query[0].name, "ref");
    EXPECT_EQ(config.query[1].max_length, 32u);
    EXPECT_EQ(ParseConfig(Changed("127.0.0.1:8080", "[::1]:0"), "/").listen.address, "::1");
    // What a configuration without them gets: no metrics, no-cache.
    EXPECT_FALSE(
        ParseConfig(Changed("\"metrics_listen\": \"127.0.0.1:9180\",", ""), "/").metrics_listen);
    EXPECT_EQ(
        ParseConfig(Changed("\"cache_control\": \"public, max-age=300\",", ""), "/").cache_control,
        "no-cache");
}

TEST(ServeConfig, RefusesEachBadEntryNamingIt) {
    struct Row {
        std::string text;
        std::string message;
    };
    const Row rows[] = {
        {"{", "not valid JSON"},
        {Changed("\"threads\": 3", "\"threads\": 3, \"threads\": 4"), "\"threads\" is given twice"},
        {Changed("\"threads\": 3", "\"thread\": 3"), "unknown member \"thread\""},
        {Changed("127.0.0.1:8080", "localhost:8080"), "listen:"},
        {Changed("127.0.0.1:8080", "127.0.0.1:70000"), "listen:"},
        {Changed("\"threads\": 3", "\"threads\": 0"), "threads:"},
        {Changed("\"setup\":", "\"set up\":"), "packages.set up: the name"},
        {Changed("\"file\": \"setup.exe\", ", ""), "packages.setup: missing member \"file\""},
        {Changed("\"Setup.exe\"", "\"a/b.exe\""), "packages.setup.download_name"},
        {Changed("\"Setup.exe\"", "\"\\u0007.exe\""), "packages.setup.download_name"},
        {Changed("{\"product\": \"Demo\", \"n\": [1, 2]}", "[1]"), "brands.acme.params"},
        {Changed("\"icon\": \"acme.ico\"", "\"icon\": 7"), "brands.acme.icon"},
        {Changed("\"zeta\": {\"params\": {}}", "\"zeta\": {\"params\": {\"ref\": \"x\"}}"),
         "brands.zeta.params.ref: is also a query parameter"},
        {Changed("\"ref\": {", "\"brand\": {"), "query.brand"},
        {Changed("\"max_length\": 16", "\"max_length\": 0"), "query.ref.max_length"},
        {Changed("\"max_length\": 16", "\"max_length\": 5000"), "query.ref.max_length"},
        {Changed("\"[a-z0-9]*\"", "\"[a-z\""), "query.ref.pattern"},
        // A backreference: RE2 has none, as it matches in linear time.
        {Changed("\"[a-z0-9]*\"", "\"(a)\\\\1\""), "in RE2's syntax: invalid escape"},
        {Changed("\"max_connections\": 500", "\"max_connections\": 0"), "limits.max_connections"},
        {Changed("\"stall_timeout\": 0.25", "\"stall_timeout\": -1"), "limits.stall_timeout"},
        {Changed("\"stall_timeout\"", "\"stall\""), "limits: unknown member \"stall\""},
        {Changed("127.0.0.1:9180", "127.0.0.1:8080"), "metrics_listen: must differ from listen"},
        {Changed("127.0.0.1:9180", "9180"), "metrics_listen:"},
        {Changed("[\"127.0.0.1\", \"10.0.0.0/8\"]", "\"127.0.0.1\""),
         "trusted_proxies: must be a list"},
        {Changed("\"10.0.0.0/8\"", "\"10.0.0.0/40\""), "trusted_proxies[1]: '10.0.0.0/40'"},
        {Changed("public, max-age=300", "no-cache\\r\\nX: y"), "cache_control:"},
    };
    for (const Row& row : rows) {
        try {
            ParseConfig(row.text, "/");
            ADD_FAILURE() << "accepted; expected " << row.message;
        } catch (const ConfigError& error) {
            EXPECT_NE(std::string(error.what()).find(row.message), std::string::npos)
                << error.what();
        }
    }
}

}  // namespace
