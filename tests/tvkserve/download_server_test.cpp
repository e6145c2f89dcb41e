// tvkserve as a process on a loopback port, with real clients: curl and
// Beast. Downloads are held to `tvkpack tag`'s output for the same inputs
// and run through the stub's own sequence; the HTTP behaviour that download
// managers rely on, bad requests, concurrency, a stalled client and the
// drain on SIGTERM are checked on the wire.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "launcher/run_sequence.h"
#include "standin/standin_controls.h"
#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tvkpack_images.h"
#include "tests/tvkserve/server_process.h"
#include "tools/package_writer/package_writer.h"
#include "tools/tvkpack/package_report.h"
#include "tools/tvkpack/tvkpack_commands.h"

namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
using test_support::Bytes;
using test_support::FixturePath;
using test_support::ReadBytes;
using test_support::ScopedTempDir;
using test_support::WriteBytes;
using tvkserve_test::Connection;
using tvkserve_test::Eventually;
using tvkserve_test::Exchange;
using tvkserve_test::Get;
using tvkserve_test::NginxProcess;
using tvkserve_test::ServerProcess;
using tvkserve_test::Shell;

// Larger than what the loopback socket buffers of both ends can hold, so
// that a client that stops reading really stops the server's writes.
constexpr std::size_t kBigInstallerPadding = 20 << 20;
constexpr char kPlainParams[] = R"({"product":"Demo","brand":"ACME"})";

std::string AsString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

Bytes IconBytes() {
    Bytes icon = test_support::PatternBytes(300, 31);
    icon[0] = 0, icon[1] = 0, icon[2] = 1, icon[3] = 0;
    return icon;
}
Bytes PictureBytes() {
    Bytes picture = test_support::PatternBytes(700, 32);
    picture[0] = 'B', picture[1] = 'M';
    return picture;
}

// The suite's configuration, with extra members (each followed by a comma).
std::string ConfigText(const fs::path& folder, const std::string& extra = "") {
    return R"({"listen": "127.0.0.1:0", "threads": 2, )" + extra + R"(
      "packages": {
        "runnable": {"file": ")" +
           FixturePath("signed_runnable.exe").string() +
           R"(", "download_name": "Setup.exe"},
        "pretagged": {"file": "pretagged.exe", "download_name": "Pre.exe"},
        "prebehind": {"file": "prebehind.exe", "download_name": "Pre.exe"},
        "big": {"file": ")" +
           (folder / "big.exe").string() + R"(", "download_name": "Big.exe"}},
      "brands": {
        "plain": {"params": {"product": "Demo", "brand": "ACME"}},
        "branded": {"params": {"product": "Demo"}, "icon": "icon.ico", "picture": "picture.bmp"}},
      "query": {"ref": {"max_length": 16, "pattern": "[A-Za-z0-9_-]*"},
                "campaign": {"max_length": 32, "pattern": "[a-z ]*"}}})";
}

// The nginx front of docs/operating.md as written there, but on loopback
// ports and without TLS.
std::string ReadmeNginxFront(std::uint16_t listen, std::uint16_t first, std::uint16_t second) {
    const std::string page =
        AsString(ReadBytes(fs::path(TVK_SOURCE_DIR) / "docs" / "operating.md"));
    const std::string opening = "```nginx\n";
    const std::size_t start = page.find(opening);
    if (start == std::string::npos) {
        throw std::runtime_error("docs/operating.md has no nginx block");
    }
    const std::size_t begin = start + opening.size();
    std::string block = page.substr(begin, page.find("```", begin) - begin);
    const auto replace_once = [&](const std::string& from, const std::string& to) {
        const std::size_t at = block.find(from);
        if (at == std::string::npos || block.find(from, at + 1) != std::string::npos) {
            throw std::runtime_error("the nginx block does not hold '" + from + "' once");
        }
        block.replace(at, from.size(), to);
    };
    replace_once("server 127.0.0.1:8080;", "server 127.0.0.1:" + std::to_string(first) + ";");
    replace_once("server 127.0.0.1:8081;", "server 127.0.0.1:" + std::to_string(second) + ";");
    replace_once("listen 443 ssl;", "listen 127.0.0.1:" + std::to_string(listen) + ";");
    std::istringstream lines(block);
    std::string front;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("ssl_certificate") == std::string::npos) {
            front += line + "\n";
        }
    }
    return front;
}

class DownloadServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new ScopedTempDir;
        WriteBytes(folder_->File("icon.ico"), IconBytes());
        WriteBytes(folder_->File("picture.bmp"), PictureBytes());
        Bytes wide_picture = test_support::PatternBytes(2 << 20, 33);
        wide_picture[0] = 'B', wide_picture[1] = 'M';
        WriteBytes(folder_->File("wide.bmp"), wide_picture);
        // Packages tagged before, in each placement, and a big one signed here.
        const Bytes runnable = ReadBytes(FixturePath("signed_runnable.exe"));
        tvkpack::TagContent old_tag{AsBytesOf("{\"old\":1}"), {}, {}, {}};
        WriteBytes(folder_->File("pretagged.exe"),
                   test_support::TvkpackTag(runnable, old_tag).package);
        old_tag.placement = tag_writer::TagPlacement::kBehindSignature;
        WriteBytes(folder_->File("prebehind.exe"),
                   test_support::TvkpackTag(runnable, old_tag).package);
        Bytes installer = ReadBytes(FixturePath("tiny_installer.exe"));
        installer.resize(installer.size() + kBigInstallerPadding, 0x5A);
        WriteBytes(folder_->File("big-unsigned.exe"),
                   test_support::TvkpackEmbed(ReadBytes(FixturePath("tiny_stub.exe")), installer));
        const fs::path fixtures = FixturePath("cert.pem").parent_path();
        ASSERT_EQ(Shell("osslsigncode sign -certs " + (fixtures / "cert.pem").string() + " -key " +
                        (fixtures / "key.pem").string() + " -n Big -in " +
                        folder_->File("big-unsigned.exe").string() + " -out " +
                        folder_->File("big.exe").string() + " >/dev/null"),
                  0);
        std::ofstream(folder_->File("serve.json")) << ConfigText(folder_->path());
        server_ = new ServerProcess(folder_->File("serve.json"));
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }

    static Bytes AsBytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

    // What `tvkpack tag` makes of a configured package with these inputs.
    static Bytes Tagged(const std::string& package, const std::string& params, bool branded) {
        const fs::path input = package == "runnable" ? FixturePath("signed_runnable.exe")
                                                     : folder_->File(package + ".exe");
        if (!branded) {
            return TagFile(input, params, {});
        }
        return TagFile(input, params,
                       {"--icon", folder_->File("icon.ico").string(), "--picture",
                        folder_->File("picture.bmp").string()});
    }
    static Bytes TagFile(const fs::path& input, const std::string& params,
                         const std::vector<std::string>& options) {
        ScopedTempDir work;
        WriteBytes(work.File("params.json"), AsBytesOf(params));
        std::vector<std::string> arguments = {"tag",      input.string(),
                                              "-o",       work.File("out.exe").string(),
                                              "--params", work.File("params.json").string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::ostringstream out, err;
        EXPECT_EQ(tvkpack::RunTvkpack(arguments, out, err), tvkpack::kExitSuccess) << err.str();
        return ReadBytes(work.File("out.exe"));
    }

    static ScopedTempDir* folder_;
    static ServerProcess* server_;
};

ScopedTempDir* DownloadServerTest::folder_ = nullptr;
ServerProcess* DownloadServerTest::server_ = nullptr;

TEST_F(DownloadServerTest, CurlDownloadsEqualTvkpackTagOutputAndTheStubHandsOverTheQueryValues) {
    struct Row {
        const char* package;
        const char* query;
        const char* saved_as;
        const char* params;
        bool branded;
    };
    const Row rows[] = {
        {"runnable", "brand=plain&ref=r-1", "Setup.exe",
         R"({"product":"Demo","brand":"ACME","ref":"r-1"})", false},
        {"runnable", "campaign=spring+sale&brand=branded&ref=x", "Setup.exe",
         R"({"product":"Demo","ref":"x","campaign":"spring sale"})", true},
        {"pretagged", "brand=plain", "Pre.exe", kPlainParams, false},
        {"prebehind", "brand=branded", "Pre.exe", R"({"product":"Demo"})", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.query);
        ScopedTempDir saved;
        ASSERT_EQ(
            Shell("curl -sSf -OJ --output-dir " + saved.path().string() + " '" +
                  server_->Url(std::string("/download/") + row.package + "?" + row.query) + "'"),
            0);
        const fs::path file = saved.File(row.saved_as);
        EXPECT_TRUE(ReadBytes(file) == Tagged(row.package, row.params, row.branded));
        const tvkpack::InspectReport report = tvkpack::Inspect(file);
        ASSERT_FALSE(report.problem) << report.problem->message;
        EXPECT_EQ(report.parameters, AsBytesOf(row.params));

        // The stub's run sequence, natively with the test installer inside.
        ScopedTempDir temp;
        standin::ResetControls();
        standin::SetTempPath(temp.WindowsFolder());
        const std::wstring own_path = test_support::ToWindowsPath(file);
        EXPECT_EQ(RunSequence(L"", [&] { return own_path; }), 0);
        standin::ResetControls();
        std::map<std::string, Bytes> handed_over;
        for (const std::string& name : temp.Names()) {
            handed_over[name.substr(0, name.find('_'))] = ReadBytes(temp.File(name));
        }
        EXPECT_EQ(handed_over["InstallerParams"], AsBytesOf(row.params));
        EXPECT_EQ(handed_over.count("ico"), row.branded ? 1u : 0u);
        if (row.branded) {
            EXPECT_EQ(handed_over["ico"], IconBytes());
            EXPECT_EQ(handed_over["picture"], PictureBytes());
        }
    }
}

TEST_F(DownloadServerTest, RangesMakeUpTheWholeFileAndHeadAnd304SendNoBody) {
    const std::string target = "/download/runnable?brand=plain";
    const std::string whole = AsString(Tagged("runnable", kPlainParams, false));
    const std::uint64_t size = whole.size();
    const std::uint64_t table = package_writer::ReadHeaders(AsBytesOf(whole)).security.offset;
    const std::string etag = Get(server_->port(), target).Field("etag");
    ASSERT_EQ(etag.size(), 34u) << etag;

    // Pieces across the headers, the body from disk and the table.
    const std::pair<std::uint64_t, std::uint64_t> pieces[] = {
        {0, 99}, {100, 5000}, {5001, table - 10}, {table - 9, table + 10}, {table + 11, size - 31}};
    std::string assembled;
    for (const auto& [first, last] : pieces) {
        const auto part = Get(server_->port(), target,
                              "Range: bytes=" + std::to_string(first) + "-" + std::to_string(last) +
                                  "\r\nIf-Range: " + etag + "\r\n");
        EXPECT_EQ(part.status, 206u);
        EXPECT_EQ(part.Field("content-range"), "bytes " + std::to_string(first) + "-" +
                                                   std::to_string(last) + "/" +
                                                   std::to_string(size));
        assembled += part.body;
    }
    assembled += Get(server_->port(), target, "Range: bytes=-30\r\n").body;
    EXPECT_TRUE(assembled == whole);

    struct Row {
        const char* what;
        std::string request;
        unsigned status;
        std::uint64_t body_size;
    };
    const std::string get = "GET " + target + " HTTP/1.1\r\nHost: x\r\n";
    const Row rows[] = {
        {"a range beyond the end", get + "Range: bytes=" + std::to_string(size) + "-\r\n\r\n", 416,
         0},
        {"a range under another entity tag", get + "Range: bytes=0-9\r\nIf-Range: \"x\"\r\n\r\n",
         200, size},
        {"If-None-Match with the tag", get + "If-None-Match: " + etag + "\r\n\r\n", 304, 0},
        {"If-None-Match with the weak tag", get + "If-None-Match: W/" + etag + "\r\n\r\n", 304, 0},
        {"If-None-Match with another tag", get + "If-None-Match: \"x\"\r\n\r\n", 200, size},
        {"HEAD", "HEAD " + target + " HTTP/1.1\r\nHost: x\r\n\r\n", 200, 0},
    };
    for (const Row& row : rows) {
        const auto response =
            Exchange(server_->port(), row.request, row.request.starts_with("HEAD"));
        EXPECT_EQ(response.status, row.status) << row.what;
        if (row.status != 416) {
            EXPECT_EQ(response.body.size(), row.body_size) << row.what;
            EXPECT_EQ(response.Field("etag"), etag) << row.what;
            EXPECT_EQ(response.Field("cache-control"), "no-cache") << row.what;
        }
    }
    const auto head =
        Exchange(server_->port(), "HEAD " + target + " HTTP/1.1\r\nHost: x\r\n\r\n", true);
    EXPECT_EQ(head.Field("content-length"), std::to_string(size));
    EXPECT_EQ(head.Field("content-type"), "application/octet-stream");
    EXPECT_EQ(head.Field("content-disposition"), "attachment; filename=\"Setup.exe\"");
    EXPECT_EQ(head.Field("accept-ranges"), "bytes");
    const auto unsatisfiable =
        Get(server_->port(), target, "Range: bytes=" + std::to_string(size) + "-\r\n");
    EXPECT_EQ(unsatisfiable.Field("content-range"), "bytes */" + std::to_string(size));

    // Keep-alive: curl fetches twice over one connection.
    ScopedTempDir saved;
    const std::string url = "'" + server_->Url(target) + "'";
    ASSERT_EQ(Shell("curl -sS -o /dev/null -o /dev/null -w '%{num_connects} ' " + url + " " + url +
                    " > " + saved.File("connects").string()),
              0);
    EXPECT_EQ(AsString(ReadBytes(saved.File("connects"))), "1 0 ");
}

TEST_F(DownloadServerTest, EachBadRequestGetsItsStatusAndNoneStopsTheServer) {
    struct Row {
        std::string request;
        unsigned status;
        const char* message;
    };
    const std::string end = " HTTP/1.1\r\nHost: x\r\n\r\n";
    const Row rows[] = {
        {"GET /download/nothing?brand=plain" + end, 404, "no package 'nothing'"},
        {"GET /download/runnable?brand=nothing" + end, 404, "no brand 'nothing'"},
        {"GET /download/runnable?ref=1" + end, 400, "'brand' is missing"},
        {"GET /download/runnable?brand=plain&who=1" + end, 400, "'who'"},
        {"GET /download/runnable?brand=plain&ref=1&ref=2" + end, 400,
         "'ref': given more than once"},
        {"GET /download/runnable?brand=plain&ref=" + std::string(17, 'a') + end, 400,
         "'ref': longer than 16 bytes"},
        {"GET /download/runnable?brand=plain&ref=a%20b" + end, 400,
         "'ref': its value does not match"},
        {"POST /download/runnable?brand=plain" + end, 405, "only GET and HEAD"},
        {"DELETE /download/runnable?brand=plain" + end, 405, "only GET and HEAD"},
        {"GET /download/runnable?brand=plain&ref=" + std::string(9000, 'a') + end, 414,
         "request line is too long"},
        {"GET /download/runnable?brand=plain HTTP/1.1\r\n" + std::string(200, 'X') /* a name */ +
             ": " + std::string(17000, 'v') + "\r\n\r\n",
         431, "header is too long"},
        {"GET /download/runnable?brand=plain HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello",
         400, "carries no body"},
        {"HELLO\r\n\r\n", 400, "not well-formed HTTP"},
    };
    for (const Row& row : rows) {
        const auto response = Exchange(server_->port(), row.request);
        EXPECT_EQ(response.status, row.status) << row.request.substr(0, 60);
        EXPECT_NE(response.body.find(row.message), std::string::npos) << response.body;
    }
    EXPECT_EQ(Get(server_->port(), "/download/runnable?brand=plain").status, 200u);
    // The access log is written by its own thread, shortly after the answer.
    EXPECT_TRUE(Eventually([&] {
        return server_->AccessLog().find("\"DELETE /download/runnable?brand=plain\" 405 ") !=
               std::string::npos;
    })) << server_->AccessLog();
}

// HTTP lets a client send empty lines before a request line (some do after
// a request); they are skipped, on a new connection and a kept one.
TEST_F(DownloadServerTest, EmptyLinesBeforeARequestLineAreSkipped) {
    Connection connection(server_->port());
    const std::string target = "/download/runnable?brand=plain";
    EXPECT_EQ(connection.Exchange("\r\n\r\nGET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n").status,
              200u);
    EXPECT_EQ(
        connection.Exchange("\r\nHEAD " + target + " HTTP/1.1\r\nHost: x\r\n\r\n", true).status,
        200u);
}

TEST_F(DownloadServerTest, FiftyConcurrentDownloadsMatchWhileOneClientStallsAndOneLeaves) {
    // A client that asks for the big package and reads nothing, and one
    // that leaves after its first bytes.
    asio::io_context context;
    asio::ip::tcp::socket stalled(context);
    asio::ip::tcp::socket leaving(context);
    const asio::ip::tcp::endpoint server(asio::ip::make_address("127.0.0.1"), server_->port());
    const std::string big = "GET /download/big?brand=plain HTTP/1.1\r\nHost: x\r\n\r\n";
    for (auto* socket : {&stalled, &leaving}) {
        socket->connect(server);
        asio::write(*socket, asio::buffer(big));
    }
    std::vector<char> first(100000);
    asio::read(leaving, asio::buffer(first));
    leaving.close();

    const std::string expected = AsString(Tagged("runnable", kPlainParams, false));
    std::atomic<int> matching = 0;
    std::vector<std::thread> clients;
    for (int i = 0; i < 50; ++i) {
        clients.emplace_back([&] {
            const auto response = Get(server_->port(), "/download/runnable?brand=plain");
            if (response.status == 200 && response.body == expected) {
                ++matching;
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(matching, 50);
}

// The metrics address answers meanwhile: a load balancer's health check
// sees the server finishing.
TEST_F(DownloadServerTest, SigtermLetsARunningDownloadFinishAndTakesNoNewConnection) {
    std::ofstream(folder_->File("drain.json"))
        << ConfigText(folder_->path(), R"("metrics_listen": "127.0.0.1:0",)");
    ServerProcess server(folder_->File("drain.json"));
    asio::io_context context;
    asio::ip::tcp::socket client(context);
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), server.port());
    client.connect(endpoint);
    asio::write(
        client,
        asio::buffer(std::string("GET /download/big?brand=plain HTTP/1.1\r\nHost: x\r\n\r\n")));
    std::string received(65536, '\0');
    asio::read(client, asio::buffer(received));

    server.Signal(SIGTERM);
    for (int i = 0; i < 500 && server.Errors().find("finishing") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    asio::ip::tcp::socket late(context);
    boost::system::error_code refused;
    late.connect(endpoint, refused);
    EXPECT_EQ(refused, asio::error::connection_refused);
    const auto health = Get(server.metrics_port(), "/healthz");
    EXPECT_EQ(health.status, 503u);
    EXPECT_EQ(health.body, "finishing the running downloads\n");

    boost::system::error_code end;
    std::vector<char> chunk(1 << 20);
    while (!end) {
        const std::size_t got = client.read_some(asio::buffer(chunk), end);
        received.append(chunk.data(), got);
    }
    EXPECT_EQ(end, asio::error::eof);
    const std::size_t body = received.find("\r\n\r\n") + 4;
    EXPECT_TRUE(received.substr(body) == AsString(Tagged("big", kPlainParams, false)));
    EXPECT_EQ(server.WaitForExit(std::chrono::seconds(20)), 0);
    EXPECT_NE(server.AccessLog().find("\"GET /download/big?brand=plain\" 200 " +
                                      std::to_string(received.size() - body)),
              std::string::npos)
        << server.AccessLog();
}

// A connection the server ends after a download (Connection: close, or the
// drain on SIGTERM) may still hold input the client sent after its request;
// the download reaches the client whole all the same, and the log says so.
// A client that leaves mid-download is logged as cut, with what it took.
TEST_F(DownloadServerTest, DownloadsTheServerEndsArriveWholeAndOnesCutAreLoggedAsCut) {
    std::ofstream(folder_->File("close.json")) << ConfigText(folder_->path());
    const std::string big = AsString(Tagged("big", kPlainParams, false));
    const std::string get = "GET /download/big?brand=plain HTTP/1.1\r\nHost: x\r\n";
    struct Row {
        const char* what;
        std::string request;
        std::string later;  // sent once the download runs
        bool drain;
    };
    const Row rows[] = {
        {"Connection: close, then a pipelined HEAD", get + "Connection: close\r\n\r\n",
         "HEAD /download/big?brand=plain HTTP/1.1\r\nHost: x\r\n\r\n", false},
        {"kept alive, a stray line end, and SIGTERM", get + "\r\n", "\r\n", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ServerProcess server(folder_->File("close.json"));
        Connection client(server.port());
        client.Write(row.request);
        std::string received = client.Read(65536);
        client.Write(row.later);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the sockets fill
        if (row.drain) {
            server.Signal(SIGTERM);
            tvkserve_test::WaitForErrorLine(server, "finishing the running downloads");
        }
        std::string rest;
        EXPECT_TRUE(client.ReadUntilClosed(rest));
        received += rest;
        const std::size_t body = received.find("\r\n\r\n") + 4;
        EXPECT_EQ(received.size() - body, big.size());
        EXPECT_TRUE(received.substr(body) == big);
        EXPECT_TRUE(Eventually([&] {
            return server.AccessLog().find("\" 200 " + std::to_string(big.size()) + " ") !=
                   std::string::npos;
        })) << server.AccessLog();
        EXPECT_EQ(server.AccessLog().find(" cut"), std::string::npos);
    }

    ServerProcess server(folder_->File("close.json"));
    {
        Connection client(server.port());
        client.Write(get + "\r\n");
        client.Read(1 << 20);
    }  // gone, a megabyte in
    std::string line;
    EXPECT_TRUE(Eventually([&] {
        line = server.AccessLog();
        return line.find(" cut\n") != std::string::npos;
    })) << line;
    const std::size_t taken = std::stoull(line.substr(line.find("\" 200 ") + 6));
    EXPECT_GE(taken, std::size_t{1} << 19);
    EXPECT_LT(taken, big.size());
}

// Idle connections piling up on the metrics address do not keep a health
// check out; a client beyond its share of connections is turned away, a
// trusted proxy (which brings many clients) is not.
TEST_F(DownloadServerTest, IdleConnectionsLeaveRoomForHealthChecksAndOneClientForOthers) {
    std::ofstream(folder_->File("shares.json"))
        << ConfigText(folder_->path(),
                      R"("metrics_listen": "127.0.0.1:0", "trusted_proxies": ["127.0.0.2"],
           "limits": {"max_connections_per_client": 2},)");
    ServerProcess server(folder_->File("shares.json"));
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<Connection>(server.metrics_port()));
    }
    const auto asked = std::chrono::steady_clock::now();
    const auto health = Get(server.metrics_port(), "/healthz");
    EXPECT_EQ(health.status, 200u);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));

    const std::string head = "HEAD /download/runnable?brand=plain HTTP/1.1\r\nHost: x\r\n\r\n";
    Connection first(server.port());
    Connection second(server.port());
    EXPECT_EQ(first.Exchange(head, true).status, 200u);
    EXPECT_EQ(second.Exchange(head, true).status, 200u);
    const auto third = Get(server.port(), "/download/runnable?brand=plain");
    EXPECT_EQ(third.status, 503u);
    EXPECT_EQ(third.Field("retry-after"), "10");
    std::vector<std::unique_ptr<Connection>> proxied;
    for (int i = 0; i < 3; ++i) {
        proxied.push_back(std::make_unique<Connection>(server.port(), "127.0.0.2"));
        EXPECT_EQ(proxied.back()->Exchange(head, true).status, 200u) << i;
    }
}

// Whatever a request's Transfer-Encoding, its body's end is unknown to a
// server that reads no bodies: a proxy in front that reuses its upstream
// connection must not be able to slip a second request past the first.
TEST_F(DownloadServerTest, AnyTransferEncodingGetsOne400AndEndsTheConnection) {
    const std::string request = "GET /download/runnable?brand=plain HTTP/1.1\r\nHost: x\r\n";
    for (const char* coding :
         {"chunked", "gzip", "identity", "xchunked", "gzip, chunked", "chunked, gzip"}) {
        SCOPED_TRACE(coding);
        Connection connection(server_->port());
        connection.Write(request + "Transfer-Encoding: " + coding + "\r\n\r\n" + request + "\r\n");
        std::string received;
        EXPECT_TRUE(connection.ReadUntilClosed(received));
        EXPECT_TRUE(received.starts_with("HTTP/1.1 400 ")) << received.substr(0, 40);
        std::size_t responses = 0;
        for (std::size_t at = received.find("HTTP/1.1 "); at != std::string::npos;
             at = received.find("HTTP/1.1 ", at + 1)) {
            ++responses;
        }
        EXPECT_EQ(responses, 1u);
    }
}

// A server of its own with small limits: 32 downloads run (30 of a brand
// with a 2 MiB picture, each with its own ref, and 2 whose parameters make
// 400 KB of their own each) and read nothing.
TEST_F(DownloadServerTest, AnswersFromLengthsAloneAndTurnsAwayWhatPassesItsLimitsInBoundedMemory) {
    std::ofstream(folder_->File("limits.json")) << R"({"listen": "127.0.0.1:0", "threads": 2,
          "limits": {"max_connections": 40, "max_tag_bytes": 1000000},
          "packages": {"big": {"file": "big.exe", "download_name": "Big.exe"}},
          "brands": {"pictured": {"params": {"p": 1}, "picture": "wide.bmp"},
                     "heavy": {"params": {"blob": ")"
                                                << std::string(300000, 'h') << R"("}}},
          "query": {"ref": {"max_length": 8, "pattern": "[a-z0-9]*"}}})";
    ServerProcess server(folder_->File("limits.json"));
    const std::string target = "/download/big?brand=pictured";
    const auto request = [&](const std::string& line, const std::string& extra = "") {
        return line + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
    };

    // What needs none of the bytes a tag changes builds no tag; one
    // connection, kept alive, asks all of it.
    Connection probe(server.port());
    const auto head = probe.Exchange(request("HEAD " + target), true);
    ASSERT_EQ(head.status, 200u);
    const std::string etag = head.Field("etag");
    const std::string size = head.Field("content-length");
    struct Row {
        const char* what;
        std::string extra;
        unsigned status;
        std::size_t body_size;
    };
    const Row rows[] = {
        {"If-None-Match", "If-None-Match: " + etag + "\r\n", 304, 0},
        {"a range beyond the end", "Range: bytes=" + size + "-\r\n", 416, 0},
        {"a range inside the file body", "Range: bytes=4096-8191\r\n", 206, 4096},
    };
    for (const Row& row : rows) {
        const auto response = probe.Exchange(request("GET " + target, row.extra));
        EXPECT_EQ(response.status, row.status) << row.what;
        if (row.status != 416) {
            EXPECT_EQ(response.body.size(), row.body_size) << row.what;
        }
    }
    const std::uint64_t resident_before = server.ResidentBytes();

    std::vector<std::unique_ptr<Connection>> running;
    const auto start_download = [&](const std::string& line) {
        running.push_back(std::make_unique<Connection>(server.port()));
        running.back()->Write(request(line));
        return running.back()->Read(12);
    };
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(start_download("GET " + target + "&ref=r" + std::to_string(i)), "HTTP/1.1 200");
    }
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(start_download("GET /download/big?brand=heavy"), "HTTP/1.1 200");
    }
    // Each download holds what it made, not the picture.
    EXPECT_LT(server.ResidentBytes() - resident_before, std::uint64_t{16} << 20);

    // The probe and the downloads hold 33 of the 40 connections: 7 more
    // come in, and the next is turned away.
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 7; ++i) {
        idle.push_back(std::make_unique<Connection>(server.port()));
        EXPECT_EQ(idle.back()->Exchange(request("HEAD " + target), true).status, 200u);
    }
    Connection beyond(server.port());
    beyond.Write(request("HEAD " + target));
    std::string refusal;
    EXPECT_TRUE(beyond.ReadUntilClosed(refusal));
    EXPECT_TRUE(refusal.starts_with("HTTP/1.1 503 ")) << refusal;
    EXPECT_NE(refusal.find("Retry-After: 10\r\n"), std::string::npos) << refusal;

    // A third heavy download would pass max_tag_bytes.
    const auto busy = probe.Exchange(request("GET /download/big?brand=heavy"));
    EXPECT_EQ(busy.status, 503u);
    EXPECT_EQ(busy.Field("retry-after"), "10");

    running.clear();
    idle.clear();
    server.Signal(SIGTERM);
    // A drain that does not end: the log shows which responses did.
    EXPECT_EQ(server.WaitForExit(std::chrono::seconds(20)), 0) << server.AccessLog();
    // The 32 downloads and the one refused were built; nothing else.
    EXPECT_NE(server.Errors().find("tags built: 33,"), std::string::npos) << server.Errors();
}

// The range from the table on: a 2 MiB picture, sent from memory. Once the
// socket buffers are full, the server may not be able to write again for
// longer than the stall time while the client keeps taking bytes; it must
// see that the client takes them.
TEST_F(DownloadServerTest, AClientReadingTwoKilobytesASecondKeepsItsDownloadPastTheStallTime) {
    std::ofstream(folder_->File("slow.json"))
        << R"({"listen": "127.0.0.1:0", "limits": {"stall_timeout": 2},
          "packages": {"runnable": {"file": ")"
        << FixturePath("signed_runnable.exe").string() << R"(", "download_name": "Setup.exe"}},
          "brands": {"pictured": {"params": {}, "picture": "wide.bmp"}}})";
    ServerProcess server(folder_->File("slow.json"));
    asio::io_context context;
    asio::ip::tcp::socket client(context);
    client.open(asio::ip::tcp::v4());
    // Segments of an Ethernet link, and the smallest receive buffer the
    // system allows: the server sees the client take bytes every half
    // second or so (loopback's segments and buffers would hide that for
    // many seconds).
    const int segment = 1400;
    ASSERT_EQ(setsockopt(client.native_handle(), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment),
              0);
    client.set_option(asio::socket_base::receive_buffer_size(1));
    client.connect({asio::ip::make_address("127.0.0.1"), server.port()});
    const std::uint32_t table =
        package_writer::ReadHeaders(ReadBytes(FixturePath("signed_runnable.exe"))).security.offset;
    asio::write(
        client,
        asio::buffer("GET /download/runnable?brand=pictured HTTP/1.1\r\nHost: x\r\nRange: bytes=" +
                     std::to_string(table) + "-\r\n\r\n"));

    std::string received;
    std::vector<char> chunk(512);
    const auto slow_until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < slow_until) {
        received.append(chunk.data(), asio::read(client, asio::buffer(chunk)));
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_TRUE(received.starts_with("HTTP/1.1 206 ")) << received.substr(0, 40);
    const std::size_t body = received.find("\r\n\r\n") + 4;
    const std::size_t length = std::stoull(received.substr(received.find("Content-Length: ") + 16));
    // Then at full speed, to the end.
    boost::system::error_code end;
    std::vector<char> large(1 << 20);
    while (!end && received.size() - body < length) {
        received.append(large.data(), client.read_some(asio::buffer(large), end));
    }
    EXPECT_EQ(received.size() - body, length) << end.message();
}

// A known set of requests, then a scrape: each count is exactly what was
// asked, read as Prometheus reads it.
TEST_F(DownloadServerTest, MetricsCountExactlyTheRequestsAnswered) {
    std::ofstream(folder_->File("metrics.json"))
        << ConfigText(folder_->path(),
                      R"("metrics_listen": "127.0.0.1:0", "cache_control": "public, max-age=60",)");
    ServerProcess server(folder_->File("metrics.json"));
    ASSERT_NE(server.metrics_port(), 0);
    const std::string plain = "/download/runnable?brand=plain";
    struct Row {
        std::string target;
        std::string extra;
        unsigned status;
    };
    const Row rows[] = {
        {plain, "", 200},
        {"/download/runnable?brand=branded&ref=a", "", 200},
        {plain, "Range: bytes=0-99\r\n", 206},
        {plain, "If-None-Match: *\r\n", 304},
        {"/download/nothing?brand=plain", "", 404},
        {"/metrics", "", 404},  // not on the download address
    };
    std::uint64_t body_bytes = 0;
    for (const Row& row : rows) {
        const auto response = Get(server.port(), row.target, row.extra);
        ASSERT_EQ(response.status, row.status) << row.target;
        EXPECT_EQ(response.Field("cache-control"), row.status < 400 ? "public, max-age=60" : "")
            << row.target;
        body_bytes += response.body.size();
    }
    ASSERT_EQ(
        Exchange(server.port(), "HEAD " + plain + " HTTP/1.1\r\nHost: x\r\n\r\n", true).status,
        200u);
    const auto health = Get(server.metrics_port(), "/healthz");
    EXPECT_EQ(health.status, 200u);
    EXPECT_EQ(health.body, "ok\n");
    EXPECT_EQ(Get(server.metrics_port(), plain).status, 404u);

    // The server counts a response once it has sent it, and a connection
    // once its client has closed it.
    std::map<std::string, double> metrics;
    const std::string all_answered = R"(tvkserve_http_responses_total{code="404"})";
    ASSERT_TRUE(Eventually([&] {
        const auto scrape = Get(server.metrics_port(), "/metrics");
        EXPECT_EQ(scrape.Field("content-type"), "text/plain; version=0.0.4; charset=utf-8");
        metrics = tvkserve_test::ParseMetrics(scrape.body);
        return metrics[all_answered] == 2 && metrics["tvkserve_connections_in_flight"] == 0 &&
               metrics["tvkserve_downloads_in_flight"] == 0;
    }));
    std::map<std::string, double> expected = {
        {R"(tvkserve_http_responses_total{code="200"})", 3},
        {R"(tvkserve_http_responses_total{code="206"})", 1},
        {R"(tvkserve_http_responses_total{code="304"})", 1},
        {all_answered, 2},
        {"tvkserve_sent_body_bytes_total", static_cast<double>(body_bytes)},
        {R"(tvkserve_downloads_total{package="runnable",brand="plain"})", 2},
        {R"(tvkserve_downloads_total{package="runnable",brand="branded"})", 1},
        {"tvkserve_downloads_in_flight", 0},
        {"tvkserve_connections_in_flight", 0},
        {"tvkserve_connections_total", 7},
        {R"(tvkserve_tag_build_seconds_bucket{le="+Inf"})", 3},  // the GETs that needed a tag
        {"tvkserve_tag_build_seconds_count", 3},
        {"tvkserve_tag_bytes_held", 0},
        {R"(tvkserve_unavailable_total{reason="max_connections"})", 0},
        {R"(tvkserve_unavailable_total{reason="max_connections_per_client"})", 0},
        {R"(tvkserve_unavailable_total{reason="max_tag_bytes"})", 0},
        {R"(tvkserve_unavailable_total{reason="failure"})", 0},
        {"tvkserve_access_log_dropped_lines_total", 0},
        {"tvkserve_responses_cut_total", 0},
        {R"(tvkserve_reloads_total{result="applied"})", 0},
        {R"(tvkserve_reloads_total{result="refused"})", 0},
    };
    for (const char* reason : {"missing", "unknown_key", "expired", "lifetime", "signature"}) {
        for (const char* outcome : {"refused", "fallback"}) {
            expected[std::string("tvkserve_link_failures_total{reason=\"") + reason +
                     "\",outcome=\"" + outcome + "\"}"] = 0;
        }
    }
    const std::string bucket = "tvkserve_tag_build_seconds_bucket{le=\"";
    std::map<double, double> buckets;  // by upper bound
    for (const auto& [series, value] : metrics) {
        if (series.starts_with(bucket) && !expected.count(series)) {
            buckets[std::stod(series.substr(bucket.size()))] = value;
        } else if (series == "tvkserve_tag_build_seconds_sum") {
            EXPECT_GT(value, 0);
        } else {
            EXPECT_TRUE(expected.count(series)) << "unexpected: " << series;
        }
    }
    EXPECT_EQ(buckets.size(), 12u);
    double below = 0;
    for (const auto& [bound, count] : buckets) {
        EXPECT_GE(count, below) << bound;  // cumulative
        EXPECT_LE(count, 3) << bound;
        below = count;
    }
    for (const auto& [series, value] : expected) {
        ASSERT_TRUE(metrics.count(series)) << "missing: " << series;
        EXPECT_EQ(metrics[series], value) << series;
    }
}

// The package and the brand's picture are replaced as an administrator
// should (new files renamed over the old ones), the configuration changed,
// and SIGHUP sent while a download of the old package runs.
TEST_F(DownloadServerTest, AReloadServesNewRequestsWhileARunningDownloadEndsAsItBegan) {
    ScopedTempDir work;
    fs::copy_file(folder_->File("big.exe"), work.File("setup.exe"));
    fs::copy_file(folder_->File("picture.bmp"), work.File("brand.bmp"));
    const auto config = [&](const std::string& file, const std::string& version) {
        return R"({"listen": "127.0.0.1:0", "threads": 1,
          "packages": {"setup": {"file": ")" +
               file + R"(", "download_name": "Setup.exe"}},
          "brands": {"acme": {"params": {"v": ")" +
               version + R"("}, "picture": "brand.bmp"}}})";
    };
    const auto replace = [&](const std::string& name, const Bytes& bytes) {
        WriteBytes(work.File(name + ".new"), bytes);
        fs::rename(work.File(name + ".new"), work.File(name));
    };
    const auto text = [](const std::string& chars) { return Bytes(chars.begin(), chars.end()); };
    replace("serve.json", text(config("setup.exe", "old")));
    ServerProcess server(work.File("serve.json"));
    Connection running(server.port());
    running.Write("GET /download/setup?brand=acme HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string begun = running.Read(65536);  // then it reads nothing for a while
    const std::size_t body = begun.find("\r\n\r\n") + 4;
    const std::size_t length = std::stoull(begun.substr(begun.find("Content-Length: ") + 16));

    Bytes new_picture = test_support::PatternBytes(900, 77);
    new_picture[0] = 'B', new_picture[1] = 'M';
    replace("setup.exe", ReadBytes(FixturePath("signed_runnable.exe")));
    replace("brand.bmp", new_picture);
    replace("serve.json", text(config("setup.exe", "new")));
    server.Signal(SIGHUP);
    tvkserve_test::WaitForErrorLine(server, "tvkserve: reload applied");
    const std::string expected_new =
        AsString(TagFile(FixturePath("signed_runnable.exe"), R"({"v":"new"})",
                         {"--picture", work.File("brand.bmp")}));
    EXPECT_TRUE(Get(server.port(), "/download/setup?brand=acme").body == expected_new);

    const std::string rest = running.Read(body + length - begun.size());
    EXPECT_TRUE(begun.substr(body) + rest ==
                AsString(TagFile(folder_->File("big.exe"), R"({"v":"old"})",
                                 {"--picture", folder_->File("picture.bmp").string()})));

    // A configuration whose package is missing: refused with the message
    // the server gives at start, and the one before keeps serving.
    const std::string missing = config(work.File("missing.exe").string(), "newer");
    replace("serve.json", text(missing));
    server.Signal(SIGHUP);
    const std::string refused = tvkserve_test::WaitForErrorLine(server, "tvkserve: config '");
    ScopedTempDir start;
    std::ofstream(start.File("serve.json")) << missing;
    const auto failure = tvkserve_test::RunUntilExit(start.File("serve.json"));
    EXPECT_EQ(failure.status, 1);
    const std::string at_start = failure.errors.substr(0, failure.errors.find('\n'));
    EXPECT_EQ(refused.substr(refused.find("': ")), at_start.substr(at_start.find("': ")));
    EXPECT_TRUE(Get(server.port(), "/download/setup?brand=acme").body == expected_new);
    EXPECT_TRUE(Eventually([&] {
        const std::string log = server.AccessLog();
        return log.find("Z reload applied: packages: 1, brands: 1, read in ") !=
                   std::string::npos &&
               log.find(
                   "Z reload refused, the configuration loaded before keeps serving: config '") !=
                   std::string::npos;
    })) << server.AccessLog();
}

// Two instances that trust the proxy, behind the documented nginx front.
TEST_F(DownloadServerTest, DocumentedNginxFrontPassesRangesAnd304sAndOutlivesAClientThatLeaves) {
    const std::string extra =
        R"("metrics_listen": "127.0.0.1:0", "trusted_proxies": ["127.0.0.1", "::1"],)";
    std::vector<std::unique_ptr<ServerProcess>> servers;
    for (const char* name : {"front-a.json", "front-b.json"}) {
        std::ofstream(folder_->File(name)) << ConfigText(folder_->path(), extra);
        servers.push_back(std::make_unique<ServerProcess>(folder_->File(name)));
    }
    const NginxProcess nginx([&](std::uint16_t port) {
        return ReadmeNginxFront(port, servers[0]->port(), servers[1]->port());
    });

    // nginx takes the instances in turn. A client at 127.0.0.2 that names
    // another address: nginx appends the client's own, and each instance
    // logs that one (the right-most that is not the trusted proxy).
    const std::string target = "/download/runnable?brand=plain&ref=r-1";
    const std::string whole =
        AsString(Tagged("runnable", R"({"product":"Demo","brand":"ACME","ref":"r-1"})", false));
    std::string etag;
    for (int i = 0; i < 2; ++i) {
        const auto response = Connection(nginx.port(), "127.0.0.2")
                                  .Exchange("GET " + target +
                                            " HTTP/1.1\r\nHost: x\r\nX-Forwarded-For: "
                                            "203.0.113.7\r\n\r\n");
        EXPECT_EQ(response.status, 200u);
        EXPECT_TRUE(response.body == whole);
        etag = response.Field("etag");
    }
    for (const auto& server : servers) {
        EXPECT_TRUE(Eventually([&] {
            return server->AccessLog().find(" 127.0.0.2 \"GET " + target + "\" 200 ") !=
                   std::string::npos;
        })) << server->AccessLog();
    }
    const auto part =
        Get(nginx.port(), target, "Range: bytes=100-199\r\nIf-Range: " + etag + "\r\n");
    EXPECT_EQ(part.status, 206u);
    EXPECT_EQ(part.Field("content-range"), "bytes 100-199/" + std::to_string(whole.size()));
    EXPECT_TRUE(part.body == whole.substr(100, 100));
    const auto unchanged = Get(nginx.port(), target, "If-None-Match: " + etag + "\r\n");
    EXPECT_EQ(unchanged.status, 304u);
    EXPECT_EQ(unchanged.Field("etag"), etag);
    EXPECT_EQ(unchanged.Field("cache-control"), "no-cache");

    // A client that leaves after the first bytes of the big package: the
    // instance that served it logs the download cut off and stays healthy.
    // (The client's small receive buffer keeps the bytes on their way far
    // below the package's size.)
    {
        asio::io_context context;
        asio::ip::tcp::socket leaving(context);
        leaving.open(asio::ip::tcp::v4());
        leaving.set_option(asio::socket_base::receive_buffer_size(4096));
        leaving.connect({asio::ip::make_address("127.0.0.1"), nginx.port()});
        asio::write(
            leaving,
            asio::buffer(std::string("GET /download/big?brand=plain HTTP/1.1\r\nHost: x\r\n\r\n")));
        std::vector<char> first(100000);
        asio::read(leaving, asio::buffer(first));
        // nginx streams (it keeps no copy of its own): while the client
        // reads nothing, the instance is still sending.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        double in_flight = 0;
        for (const auto& server : servers) {
            in_flight += tvkserve_test::ParseMetrics(Get(server->metrics_port(), "/metrics").body)
                             .at("tvkserve_downloads_in_flight");
        }
        EXPECT_EQ(in_flight, 1);
    }
    const std::string cut_off = "\"GET /download/big?brand=plain\" 200 ";
    std::string log;
    EXPECT_TRUE(Eventually([&] {
        log = servers[0]->AccessLog() + servers[1]->AccessLog();
        return log.find(cut_off) != std::string::npos;
    }));
    if (const std::size_t at = log.find(cut_off); at != std::string::npos) {
        EXPECT_LT(std::stoull(log.substr(at + cut_off.size())), kBigInstallerPadding);
    }
    for (const auto& server : servers) {
        EXPECT_TRUE(Eventually([&] {
            return tvkserve_test::ParseMetrics(Get(server->metrics_port(), "/metrics").body)
                       .at("tvkserve_downloads_in_flight") == 0;
        }));
        EXPECT_EQ(Get(server->metrics_port(), "/healthz").body, "ok\n");
    }
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(Get(nginx.port(), target).body == whole);
    }
    // nginx kept its connections to the instances for further requests.
    double connections = 0;
    EXPECT_TRUE(Eventually([&] {
        double responses = 0;
        connections = 0;
        for (const auto& server : servers) {
            for (const auto& [series, value] :
                 tvkserve_test::ParseMetrics(Get(server->metrics_port(), "/metrics").body)) {
                connections += series == "tvkserve_connections_total" ? value : 0;
                responses += series.starts_with("tvkserve_http_responses_total") ? value : 0;
            }
        }
        return responses == 7;
    }));
    EXPECT_LT(connections, 7);
}

TEST(DownloadServerStart, RefusesAConfigurationWhoseFilesAreNotWhatItSays) {
    struct Row {
        const char* package;
        const char* icon;
        const char* message;
    };
    ScopedTempDir folder;
    WriteBytes(folder.File("icon.ico"), IconBytes());
    WriteBytes(folder.File("picture.bmp"), PictureBytes());
    const std::string signed_package = FixturePath("signed_runnable.exe").string();
    const std::string unsigned_package = FixturePath("unsigned_package.exe").string();
    ASSERT_EQ(mkfifo(folder.File("fifo").c_str(), 0600), 0);
    const Row rows[] = {
        {unsigned_package.c_str(), "icon.ico", "packages.p.file: '"},
        {signed_package.c_str(), "none.ico", "brands.b.icon: "},
        {signed_package.c_str(), "picture.bmp", "brands.b.icon: '"},
        // A FIFO would wait for a writer for ever.
        {"fifo", "icon.ico", "fifo': it is a FIFO, not a regular file"},
        {signed_package.c_str(), "fifo", "brands.b.icon: '"},
    };
    for (const Row& row : rows) {
        std::ofstream(folder.File("bad.json"))
            << R"({"listen": "127.0.0.1:0", "packages": {"p": {"file": ")" << row.package
            << R"(", "download_name": "P.exe"}}, "brands": {"b": {"params": {}, "icon": ")"
            << row.icon << R"("}}})";
        const auto failure = tvkserve_test::RunUntilExit(folder.File("bad.json"));
        EXPECT_EQ(failure.status, 1);
        EXPECT_NE(failure.errors.find(row.message), std::string::npos) << failure.errors;
    }
    const auto fifo_config = tvkserve_test::RunUntilExit(folder.File("fifo"));
    EXPECT_EQ(fifo_config.status, 1);
    EXPECT_NE(fifo_config.errors.find("it is a FIFO, not a regular file"), std::string::npos)
        << fifo_config.errors;
}

// A reload that meets a FIFO is refused at once and counted; the next one
// works, and SIGTERM ends the server.
TEST_F(DownloadServerTest, AFifoStallsNeitherAReloadNorTheShutdown) {
    ScopedTempDir work;
    fs::copy_file(FixturePath("signed_runnable.exe"), work.File("setup.exe"));
    ASSERT_EQ(mkfifo(work.File("pipe.exe").c_str(), 0600), 0);
    const auto config = [&](const std::string& file) {
        std::ofstream(work.File("serve.json.new"))
            << R"({"listen": "127.0.0.1:0", "packages": {"setup": {"file": ")" << file
            << R"(", "download_name": "Setup.exe"}}, "brands": {"acme": {"params": {}}}})";
        fs::rename(work.File("serve.json.new"), work.File("serve.json"));
    };
    config("setup.exe");
    ServerProcess server(work.File("serve.json"));
    config("pipe.exe");
    server.Signal(SIGHUP);
    EXPECT_NE(tvkserve_test::WaitForErrorLine(server, "tvkserve: config '")
                  .find("it is a FIFO, not a regular file"),
              std::string::npos);
    config("setup.exe");
    server.Signal(SIGHUP);
    tvkserve_test::WaitForErrorLine(server, "tvkserve: reload applied");
    EXPECT_EQ(Get(server.port(), "/download/setup?brand=acme").status, 200u);
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(std::chrono::seconds(20)), 0);
    EXPECT_NE(server.Errors().find("reloads: 1, refused reloads: 1"), std::string::npos)
        << server.Errors();
}

}  // namespace
