// Signed links as a web site makes them and the server checks them: every
// check's refusal, in the order they run, and what a good link leaves for
// the download's selection.
#include "tools/tvkserve/signed_link.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"
#include "tools/packaging/tool_files.h"

namespace {

using tvkserve::LinkFailure;

// The key of the worked example in docs/serving.md: the 32 bytes 0x00,
// 0x01, ..., 0x1f, as its key file holds them.
constexpr char kExampleKeyFile[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8\n";

class SignedLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test_support::WriteBytes(
            folder_.File("k1.key"),
            test_support::Bytes(kExampleKeyFile, kExampleKeyFile + sizeof kExampleKeyFile - 1));
        tvkserve::LinksConfig links;
        links.keys = {{"k1", folder_.File("k1.key")}};
        keys_ = tvkserve::LinkKeys(links);
    }

    std::string Sign(const std::string& url, std::int64_t expires) const {
        return tvkserve::SignLink(url, "k1", *keys_.Find("k1"), expires);
    }

    test_support::ScopedTempDir folder_;
    tvkserve::LinkKeys keys_;
};

TEST_F(SignedLinkTest, TheWorkedExampleGivesItsSignature) {
    // openssl dgst -sha256 -mac HMAC -macopt hexkey:000102...1f <<< (no newline)
    //   "/download/setup?brand=acme&ref=partner-7&expires=1767225600&key=k1"
    EXPECT_EQ(
        Sign("https://downloads.example.com/download/setup?brand=acme&ref=partner-7", 1767225600),
        "https://downloads.example.com/download/setup?brand=acme&ref=partner-7"
        "&expires=1767225600&key=k1&sig=KeUlGIzokSNT95Q9CZVwdPnsBnHQYRnJReJ2Zmjgmwk");
}

TEST_F(SignedLinkTest, EachCheckRefusesWhatItMustAndAGoodLinkLeavesTheUnsignedTarget) {
    constexpr std::int64_t kNow = 1'800'000'000;
    const std::string good = Sign("/download/setup?brand=acme&ref=a", kNow + 60);
    const std::string good_absolute = Sign("http://front.example/download/setup?brand=acme", kNow);
    const std::string sig = good.substr(good.find("&sig="));
    const std::string before_sig = good.substr(0, good.find("&sig="));
    struct Row {
        const char* what;
        std::string target;
        std::optional<std::chrono::seconds> max_lifetime;
        bool is_signed;
        std::optional<LinkFailure> failure;
        std::string unsigned_target;
    };
    const Row rows[] = {
        {"a good link", good, std::nullopt, true, std::nullopt, "/download/setup?brand=acme&ref=a"},
        {"a good link in absolute form, at its last second", good_absolute, std::nullopt, true,
         std::nullopt, "/download/setup?brand=acme"},
        {"a link of a path alone", Sign("/download/setup", kNow), std::nullopt, true, std::nullopt,
         "/download/setup"},
        {"no signature", "/download/setup?brand=acme", std::nullopt, false, LinkFailure::kMissing,
         ""},
        {"a value changed", "/download/setup?brand=acme&ref=b" + good.substr(good.find("&expires")),
         std::nullopt, true, LinkFailure::kSignature, ""},
        {"the expiry changed",
         "/download/setup?brand=acme&ref=a&expires=" + std::to_string(kNow + 61) + "&key=k1" + sig,
         std::nullopt, true, LinkFailure::kSignature, ""},
        {"anything after sig", good + "&ref=b", std::nullopt, true, LinkFailure::kSignature, ""},
        {"a cut signature", good.substr(0, good.size() - 1), std::nullopt, true,
         LinkFailure::kSignature, ""},
        {"key before expires",
         "/download/setup?brand=acme&key=k1&expires=" + std::to_string(kNow + 60) + sig,
         std::nullopt, true, LinkFailure::kMissing, ""},
        {"an expiry that is no number", "/download/setup?brand=acme&expires=soon&key=k1" + sig,
         std::nullopt, true, LinkFailure::kMissing, ""},
        {"an unknown key", before_sig.substr(0, before_sig.size() - 2) + "k2" + sig, std::nullopt,
         true, LinkFailure::kUnknownKey, ""},
        {"an expired link", Sign("/download/setup?brand=acme", kNow - 1), std::nullopt, true,
         LinkFailure::kExpired, ""},
        {"beyond max_lifetime", good, std::chrono::seconds(59), true, LinkFailure::kLifetime, ""},
        {"within max_lifetime", good, std::chrono::seconds(60), true, std::nullopt,
         "/download/setup?brand=acme&ref=a"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const tvkserve::LinkCheck check =
            tvkserve::CheckLink(row.target, keys_, row.max_lifetime, kNow);
        EXPECT_EQ(check.is_signed, row.is_signed);
        EXPECT_EQ(check.failure, row.failure) << check.detail;
        if (!row.failure) {
            EXPECT_EQ(check.unsigned_target, row.unsigned_target);
        }
    }
}

TEST_F(SignedLinkTest, KeyFilesAndUrlsThatCannotBeUsedAreRefused) {
    const struct {
        const char* what;
        std::string text;
    } files[] = {{"a key of 15 bytes", "AAECAwQFBgcICQoLDA0O\n"},
                 {"standard base64", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh+/\n"},
                 {"padding", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n"},
                 {"two lines", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8\nAAEC\n"}};
    for (const auto& file : files) {
        test_support::WriteBytes(folder_.File("bad.key"),
                                 test_support::Bytes(file.text.begin(), file.text.end()));
        EXPECT_THROW(tvkserve::ReadLinkKey(folder_.File("bad.key")), packaging::CommandError)
            << file.what;
    }
    EXPECT_THROW(Sign("/download/setup?brand=acme&sig=x", 1), packaging::CommandError);
    EXPECT_THROW(Sign("/download/setup?brand=acme#top", 1), packaging::CommandError);
}

TEST_F(SignedLinkTest, TheAccessLogShowsNoSignature) {
    const std::string link = Sign("/download/setup?brand=acme", 1);
    const std::string shown = tvkserve::RedactedTarget(link);
    EXPECT_EQ(shown, link.substr(0, link.find("&sig=")) + "&sig=***");
    EXPECT_EQ(tvkserve::RedactedTarget("/download/a?sig=x&sig=y&b=1"),
              "/download/a?sig=***&sig=***&b=1");
    EXPECT_EQ(tvkserve::RedactedTarget("/download/a?brand=b"), "/download/a?brand=b");
}

}  // namespace
