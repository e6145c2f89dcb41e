// Per-download data that installers can trust, on the wire: links minted by
// the documentation's own Python and Node snippets and by `tvkserve sign-url` are
// served, every broken link is refused with the check that failed (or gets
// the fallback brand), and the tags the server signs are byte for byte what
// `tvkpack tag --sign-key` makes, the same from two processes, so a range
// resumed after a restart completes the whole.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"
#include "tests/tvkserve/server_process.h"
#include "tools/tvkpack/tvkpack_commands.h"

namespace {

namespace fs = std::filesystem;
using test_support::Bytes;
using test_support::ReadBytes;
using test_support::ScopedTempDir;
using tvkserve_test::Get;
using tvkserve_test::ServerProcess;
using tvkserve_test::Shell;

constexpr char kBrandedParams[] = R"({"product":"Demo","ref":"r-1"})";

std::string Text(const fs::path& file) {
    const Bytes bytes = ReadBytes(file);
    std::string text(bytes.begin(), bytes.end());
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

// The fenced block of that language in docs/trust.md that holds marker.
std::string ReadmeBlock(const std::string& language, const std::string& marker) {
    std::ifstream in(fs::path(TVK_SOURCE_DIR) / "docs" / "trust.md");
    std::ostringstream readme;
    readme << in.rdbuf();
    const std::string text = readme.str();
    const std::string opening = "```" + language + "\n";
    for (std::size_t start = text.find(opening); start != std::string::npos;
         start = text.find(opening, start + 1)) {
        const std::size_t begin = start + opening.size();
        const std::string block = text.substr(begin, text.find("```", begin) - begin);
        if (block.find(marker) != std::string::npos) {
            return block;
        }
    }
    throw std::runtime_error("docs/trust.md has no " + language + " block with " + marker);
}

class SignedDownloadsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new ScopedTempDir;
        const std::string dir = folder_->path().string();
        ASSERT_EQ(Shell("cd " + dir +
                        " && openssl rand 32 | basenc --base64url | tr -d '=\\n' > k1.key"
                        " && openssl rand 32 | basenc --base64url | tr -d '=\\n' > other.key"
                        " && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048"
                        " -out tag.pem 2>/dev/null"
                        " && openssl pkey -in tag.pem -pubout -out tag.pub"),
                  0);
        Bytes icon = test_support::PatternBytes(300, 31);
        icon[0] = 0, icon[1] = 0, icon[2] = 1, icon[3] = 0;
        Bytes picture = test_support::PatternBytes(700, 32);
        picture[0] = 'B', picture[1] = 'M';
        test_support::WriteBytes(folder_->File("icon.ico"), icon);
        test_support::WriteBytes(folder_->File("picture.bmp"), picture);
        std::ofstream(folder_->File("python.py")) << ReadmeBlock("python", "def sign_link");
        std::ofstream(folder_->File("node.js")) << ReadmeBlock("javascript", "function signLink");
        WriteConfig("serve.json", R"("required": true, "max_lifetime": 3600)");
        server_ = new ServerProcess(folder_->File("serve.json"));
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }

    static void WriteConfig(const std::string& name, const std::string& links) {
        std::ofstream(folder_->File(name))
            << R"({"listen": "127.0.0.1:0", "threads": 2,
          "metrics_listen": "127.0.0.1:0",
          "packages": {"runnable": {"file": ")" +
                   test_support::FixturePath("signed_runnable.exe").string() +
                   R"(", "download_name": "Setup.exe"}},
          "brands": {"plain": {"params": {"product": "Demo"}},
                     "branded": {"params": {"product": "Demo"}, "icon": "icon.ico",
                                 "picture": "picture.bmp"}},
          "query": {"ref": {"max_length": 16, "pattern": "[A-Za-z0-9_-]*"}},
          "links": {"keys": {"k1": {"file": "k1.key"}}, )" +
                   links + R"(},
          "tag_signing": {"key": "tag.pem"}})";
    }

    // What a command prints, its line end cut.
    static std::string Output(const std::string& command) {
        const fs::path out = folder_->File("out.txt");
        EXPECT_EQ(Shell("cd " + folder_->path().string() + " && " + command + " > " + out.string()),
                  0)
            << command;
        return Text(out);
    }
    static std::string SignUrl(const std::string& url, const std::string& key_file,
                               const std::string& expiry) {
        return Output(std::string(TVK_TVKSERVE) + " sign-url --key-file " + key_file +
                      " --key k1 " + expiry + " '" + url + "'");
    }

    // What `tvkpack tag --sign-key` makes of the package with these inputs.
    static Bytes SignedTag(const std::string& params, bool branded) {
        ScopedTempDir work;
        test_support::WriteBytes(work.File("params.json"), Bytes(params.begin(), params.end()));
        std::vector<std::string> arguments = {
            "tag",        test_support::FixturePath("signed_runnable.exe").string(),
            "-o",         work.File("out.exe").string(),
            "--params",   work.File("params.json").string(),
            "--sign-key", folder_->File("tag.pem").string()};
        if (branded) {
            arguments.insert(arguments.end(), {"--icon", folder_->File("icon.ico").string(),
                                               "--picture", folder_->File("picture.bmp").string()});
        }
        std::ostringstream out, err;
        EXPECT_EQ(tvkpack::RunTvkpack(arguments, out, err), tvkpack::kExitSuccess) << err.str();
        return ReadBytes(work.File("out.exe"));
    }

    static ScopedTempDir* folder_;
    static ServerProcess* server_;
};

ScopedTempDir* SignedDownloadsTest::folder_ = nullptr;
ServerProcess* SignedDownloadsTest::server_ = nullptr;

TEST_F(SignedDownloadsTest, LinksFromTheDocumentedSnippetsAndSignUrlAreServedAndBrokenOnesRefused) {
    const std::string url = server_->Url("/download/runnable?brand=branded&ref=r-1");
    const std::string minted[] = {
        Output("python3 python.py k1.key k1 '" + url + "'"),
        Output("node node.js k1.key k1 '" + url + "'"),
        SignUrl(url, "k1.key", "--expires-in 600"),
    };
    const Bytes expected = SignedTag(kBrandedParams, true);
    for (const std::string& link : minted) {
        SCOPED_TRACE(link);
        const auto response = Get(server_->port(), link.substr(link.find("/download/")));
        ASSERT_EQ(response.status, 200u) << response.body;
        EXPECT_TRUE(Bytes(response.body.begin(), response.body.end()) == expected);
    }
    // The download's tag verifies with the server's public key.
    const fs::path saved = folder_->File("saved.exe");
    test_support::WriteBytes(saved, expected);
    std::ostringstream out, err;
    EXPECT_EQ(tvkpack::RunTvkpack({"inspect", saved.string(), "--tag-public-key",
                                   folder_->File("tag.pub").string()},
                                  out, err),
              tvkpack::kExitSuccess)
        << out.str() << err.str();
    EXPECT_NE(out.str().find("valid (signed by the given key)"), std::string::npos) << out.str();

    const std::string good = minted[2].substr(minted[2].find("/download/"));
    const std::string sig = good.substr(good.find("&sig=") + 5);
    const std::string now = std::to_string(std::time(nullptr));
    struct Row {
        const char* what;
        std::string target;
        const char* word;
    };
    const Row refused[] = {
        {"no link", "/download/runnable?brand=branded&ref=r-1", "missing"},
        {"a value changed", std::string(good).replace(good.find("r-1"), 3, "r-2"), "signature"},
        {"another key's signature",
         SignUrl(url, "other.key", "--expires-in 600").substr(url.find("/download/")), "signature"},
        {"an unknown key", std::string(good).replace(good.find("&key=k1"), 7, "&key=k9"),
         "unknown key"},
        {"an expired link",
         SignUrl(url, "k1.key", "--expires " + std::to_string(std::time(nullptr) - 5))
             .substr(url.find("/download/")),
         "expired"},
        {"beyond max_lifetime",
         SignUrl(url, "k1.key", "--expires-in 7200").substr(url.find("/download/")), "lifetime"},
    };
    for (const Row& row : refused) {
        SCOPED_TRACE(row.what);
        const auto response = Get(server_->port(), row.target);
        EXPECT_EQ(response.status, 403u);
        EXPECT_NE(response.body.find(std::string("the download link is not valid: ") + row.word),
                  std::string::npos)
            << response.body;
    }
    // HEAD and ranges carry the link and get the same check.
    const auto head = tvkserve_test::Exchange(
        server_->port(), "HEAD " + good + " HTTP/1.1\r\nHost: x\r\n\r\n", true);
    EXPECT_EQ(head.status, 200u);
    EXPECT_EQ(head.Field("content-length"), std::to_string(expected.size()));
    const auto part = Get(server_->port(), good, "Range: bytes=100-199\r\n");
    EXPECT_EQ(part.status, 206u);
    EXPECT_TRUE(part.body == std::string(expected.begin() + 100, expected.begin() + 200));
    EXPECT_EQ(Get(server_->port(), refused[4].target, "Range: bytes=100-199\r\n").status, 403u);

    // Counted by reason; no signature in the access log.
    EXPECT_TRUE(tvkserve_test::Eventually([&] {
        const auto metrics =
            tvkserve_test::ParseMetrics(Get(server_->metrics_port(), "/metrics").body);
        const auto count = [&](const char* reason) {
            const auto found = metrics.find(std::string("tvkserve_link_failures_total{reason=\"") +
                                            reason + "\",outcome=\"refused\"}");
            return found == metrics.end() ? -1.0 : found->second;
        };
        return count("missing") == 1 && count("signature") == 2 && count("unknown_key") == 1 &&
               count("expired") == 2 && count("lifetime") == 1;
    }));
    std::string log;
    EXPECT_TRUE(tvkserve_test::Eventually([&] {
        log = server_->AccessLog();
        return log.find("&sig=***\" 200 ") != std::string::npos;
    })) << log;
    EXPECT_EQ(log.find(sig), std::string::npos);
}

TEST_F(SignedDownloadsTest, AFallbackBrandServesBrokenLinksAndUnrequiredLinksLetUnsignedOnesIn) {
    WriteConfig("fallback.json", R"("fallback_brand": "plain")");
    ServerProcess fallback(folder_->File("fallback.json"));
    const std::string url = fallback.Url("/download/runnable?brand=branded&ref=r-1");
    const std::string expired =
        SignUrl(url, "k1.key", "--expires " + std::to_string(std::time(nullptr) - 5));
    const Bytes plain = SignedTag(R"({"product":"Demo"})", false);
    for (const std::string& target : {expired.substr(expired.find("/download/")),
                                      std::string("/download/runnable?brand=branded&ref=r-1")}) {
        const auto response = Get(fallback.port(), target);
        ASSERT_EQ(response.status, 200u) << response.body;
        EXPECT_TRUE(Bytes(response.body.begin(), response.body.end()) == plain) << target;
    }

    WriteConfig("optional.json", R"("required": false)");
    ServerProcess optional(folder_->File("optional.json"));
    const auto unsigned_download = Get(optional.port(), "/download/runnable?brand=branded&ref=r-1");
    ASSERT_EQ(unsigned_download.status, 200u);
    EXPECT_TRUE(Bytes(unsigned_download.body.begin(), unsigned_download.body.end()) ==
                SignedTag(kBrandedParams, true));
    EXPECT_EQ(Get(optional.port(), expired.substr(expired.find("/download/"))).status, 403u);
}

TEST_F(SignedDownloadsTest, TwoProcessesSendTheSameSignedBytesAndAResumedRangeCompletesTheWhole) {
    const std::string link = SignUrl(server_->Url("/download/runnable?brand=branded&ref=r-1"),
                                     "k1.key", "--expires-in 600");
    const std::string target = link.substr(link.find("/download/"));
    const std::string whole = Get(server_->port(), target).body;
    ASSERT_FALSE(whole.empty());
    const std::size_t half = whole.size() / 2;
    const std::string first =
        Get(server_->port(), target, "Range: bytes=0-" + std::to_string(half - 1) + "\r\n").body;
    // Another process: a restart, or a second instance behind a balancer.
    ServerProcess restarted(folder_->File("serve.json"));
    EXPECT_TRUE(Get(restarted.port(), target).body == whole);
    const auto rest = Get(restarted.port(), target,
                          "Range: bytes=" + std::to_string(half) + "-\r\nIf-Range: " +
                              Get(server_->port(), target).Field("etag") + "\r\n");
    EXPECT_EQ(rest.status, 206u);
    EXPECT_TRUE(first + rest.body == whole);
}

}  // namespace
