// Download URLs: the parameters text each valid one gives, and the status
// and the named parameter of each one that is refused.
#include "tools/tvkserve/download_request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using namespace tvkserve;

const ServeConfig& Config() {
    static const ServeConfig config = ParseConfig(R"({
      "listen": "127.0.0.1:0",
      "packages": {"setup": {"file": "s.exe", "download_name": "S.exe"}},
      "brands": {"acme": {"params": {"product": "Demo", "brand": "ACME"}}},
      "query": {"ref": {"max_length": 8, "pattern": "[A-Za-z0-9_-]*"},
                "campaign": {"max_length": 20, "pattern": "[^<>]*"}}
    })",
                                                  "/");
    return config;
}

TEST(SelectDownload, GivesBrandParamsThenQueryValuesInTheConfigurationsOrder) {
    struct Row {
        const char* target;
        const char* params_text;
    };
    const Row rows[] = {
        {"/download/setup?brand=acme", R"({"product":"Demo","brand":"ACME"})"},
        {"/download/setup?ref=r1&brand=acme", R"({"product":"Demo","brand":"ACME","ref":"r1"})"},
        // The URL's order does not change the bytes.
        {"/download/setup?campaign=x&brand=acme&ref=r1",
         R"({"product":"Demo","brand":"ACME","ref":"r1","campaign":"x"})"},
        {"/download/set%75p?brand=acme&&campaign=spring+sale%21%C3%A9&",
         R"({"product":"Demo","brand":"ACME","campaign":"spring sale!é"})"},
        {"/download/setup?brand=acme&campaign=%22q%22%5C",
         R"({"product":"Demo","brand":"ACME","campaign":"\"q\"\\"})"},
        {"/download/setup?brand=acme&ref=", R"({"product":"Demo","brand":"ACME","ref":""})"},
        {"http://example.com/download/setup?brand=acme", R"({"product":"Demo","brand":"ACME"})"},
    };
    for (const Row& row : rows) {
        const auto result = SelectDownload(row.target, Config());
        ASSERT_TRUE(std::holds_alternative<DownloadSelection>(result))
            << row.target << ": " << std::get<RequestRejection>(result).message;
        const auto& selection = std::get<DownloadSelection>(result);
        EXPECT_EQ(selection.package->id, "setup");
        EXPECT_EQ(selection.brand->id, "acme");
        EXPECT_EQ(selection.params_text, row.params_text) << row.target;
    }
}

TEST(SelectDownload, RefusesEachBadUrlWithItsStatusNamingTheParameter) {
    struct Row {
        const char* target;
        unsigned status;
        const char* message;
    };
    const Row rows[] = {
        {"/", 404, "downloads are under /download/"},
        {"/download/other?brand=acme", 404, "no package 'other'"},
        {"/download/setup?brand=zeta", 404, "no brand 'zeta'"},
        {"/download/setup", 400, "'brand' is missing"},
        {"/download/setup?brand=acme&ref=a&ref=b", 400, "'ref': given more than once"},
        {"/download/setup?brand=acme&brand=acme", 400, "'brand': given more than once"},
        {"/download/setup?brand=acme&r%65f=a&ref=b", 400, "'ref': given more than once"},
        {"/download/setup?brand=acme&utm=1", 400, "'utm': not a parameter this server takes"},
        {"/download/setup?brand=acme&ref=123456789", 400, "'ref': longer than 8 bytes"},
        {"/download/setup?brand=acme&ref=a.b", 400, "'ref': its value does not match"},
        {"/download/setup?brand=acme&campaign=%3Cb%3E", 400,
         "'campaign': its value does not match"},
        {"/download/setup?brand=acme&campaign=%FF", 400, "'campaign': its value is not UTF-8"},
        {"/download/setup?brand=acme&ref=%4", 400, "'ref': its value has a broken percent escape"},
        {"/download/setup?brand=acme&%zz=1", 400, "its name has a broken percent escape"},
        {"/download/se%zztup?brand=acme", 400, "broken percent escape"},
    };
    for (const Row& row : rows) {
        const auto result = SelectDownload(row.target, Config());
        ASSERT_TRUE(std::holds_alternative<RequestRejection>(result)) << row.target;
        const auto& rejection = std::get<RequestRejection>(result);
        EXPECT_EQ(rejection.status, row.status) << row.target;
        EXPECT_NE(rejection.message.find(row.message), std::string::npos)
            << row.target << ": " << rejection.message;
    }
}

// Patterns that make a backtracking matcher take time exponential in the
// value's length, against values of the longest length allowed.
TEST(SelectDownload, MatchesNestedQuantifiersInTimeLinearInTheValue) {
    struct Row {
        const char* pattern;
        std::string value;
        bool matches;
    };
    const std::string letters(kMaxQueryValueLength - 1, 'a');
    const Row rows[] = {
        {"([a-z]+)*", letters + "!", false},
        {"(a|aa)*b", letters + "c", false},
        {"(a*)*", letters + "a", true},
    };
    for (const Row& row : rows) {
        const ServeConfig config = ParseConfig(
            R"({"listen": "127.0.0.1:0",
                "packages": {"setup": {"file": "s.exe", "download_name": "S.exe"}},
                "brands": {"acme": {"params": {}}},
                "query": {"v": {"max_length": 1024, "pattern": ")" +
                std::string(row.pattern) + R"("}}})",
            "/");
        const auto start = std::chrono::steady_clock::now();
        const auto result = SelectDownload("/download/setup?brand=acme&v=" + row.value, config);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << row.pattern;
        EXPECT_EQ(std::holds_alternative<DownloadSelection>(result), row.matches) << row.pattern;
    }
}

}  // namespace
