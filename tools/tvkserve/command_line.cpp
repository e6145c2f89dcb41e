#include "tools/tvkserve/command_line.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "tools/packaging/tool_files.h"
#include "tools/tvkserve/access_log.h"
#include "tools/tvkserve/download_server.h"
#include "tools/tvkserve/file_limit.h"
#include "tools/tvkserve/served_content.h"
#include "tools/tvkserve/server_counters.h"
#include "tools/tvkserve/signed_link.h"

namespace tvkserve {

namespace {

// The latest expiry a link may carry: far beyond any link's life, and
// within what every client's integers hold.
constexpr std::int64_t kLatestExpiry = std::int64_t{1} << 40;

// The help's first column: the longest option with what it excludes
// ("--expires-in INT Excludes: --expires") and a space, so that each option
// takes one line.
constexpr std::size_t kHelpColumnWidth = 40;

constexpr char kSynopsis[] =
    "Synopsis:\n"
    "  tvkserve --config FILE\n"
    "      serves the packages the configuration names; SIGHUP reads it again,\n"
    "      SIGTERM lets running downloads finish and exits\n"
    "  tvkserve sign-url --key-file FILE --key ID (--expires-in SECONDS | --expires UNIX) URL\n"
    "      prints the URL as a signed link\n"
    "Exit status: 0 success, 1 failure (e.g. a configuration it refuses), 2 wrong usage\n";

struct CommandLine {
    CLI::App app{"tvkserve: serves signed packages, each download tagged on the fly.", "tvkserve"};
    CLI::App* sign_url = nullptr;
    std::string config;
    std::string key_file;
    std::string key_id;
    std::optional<std::int64_t> expires_in;
    std::optional<std::int64_t> expires;
    std::string url;

    CommandLine() {
        app.get_formatter()->column_width(kHelpColumnWidth);
        app.add_option("--config", config, "the configuration file (JSON) to serve");
        sign_url = app.add_subcommand(
            "sign-url", "prints a URL as a signed link: expires, key and sig appended");
        sign_url->add_option("--key-file", key_file, "the link key: one line of base64url")
            ->required();
        sign_url->add_option("--key", key_id, "the key's id, as the server's links.keys names it")
            ->required();
        auto* in = sign_url->add_option("--expires-in", expires_in,
                                        "the link ends this many seconds from now");
        auto* at = sign_url->add_option("--expires", expires, "the link ends at this Unix time");
        in->excludes(at);
        sign_url->add_option("URL", url, "a full URL or a request target (/download/...)")
            ->required();
        app.require_subcommand(0, 1);
        // Set last, so that sign-url's own help does not repeat it.
        app.footer(kSynopsis);
    }
};

int SignUrl(const CommandLine& line, std::ostream& out, std::ostream& err) {
    if (!line.expires_in && !line.expires) {
        err << "tvkserve: sign-url: give --expires-in SECONDS or --expires UNIX\n";
        return kExitUsage;
    }
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    const std::int64_t expires = line.expires ? *line.expires : now + *line.expires_in;
    if (expires < 0 || expires > kLatestExpiry || (line.expires_in && *line.expires_in < 0)) {
        err << "tvkserve: sign-url: the expiry must be a Unix time from 0 to " << kLatestExpiry
            << "\n";
        return kExitUsage;
    }
    try {
        const std::unique_ptr<const LinkKey> key =
            ReadLinkKey(packaging::PathFromUtf8(line.key_file));
        out << SignLink(line.url, line.key_id, *key, expires) << "\n";
        return kExitSuccess;
    } catch (const packaging::CommandError& error) {
        err << "tvkserve: sign-url: '" << line.key_file << "': " << error.what() << "\n";
    }
    return kExitFailure;
}

int Serve(const std::string& config_file, std::ostream& err) {
    // A client that leaves mid-download makes a write fail; it must not end
    // the process.
    std::signal(SIGPIPE, SIG_IGN);
    // A reload asked for while the server starts must not end it either;
    // the server takes SIGHUP once it serves.
    std::signal(SIGHUP, SIG_IGN);
    BoundedLoader loader;
    LoadOutcome loaded = loader.Load(config_file, kLoadTimeout);
    err << loaded.warnings;
    std::shared_ptr<const ServedContent> content = std::move(loaded.content);
    if (!content) {
        err << loaded.failure << "\n";
        return kExitFailure;
    }
    try {
        RaiseFileLimit(content->config.limits.max_connections, err);
        ServerCounters counters;
        AccessLog log(stdout);
        DownloadServer server(config_file, std::move(content), log, counters);
        if (const auto metrics = server.metrics_address()) {
            err << "tvkserve: metrics on " << *metrics << "\n";
        }
        err << "tvkserve: listening on " << server.address() << std::endl;
        server.Run();
        err << "tvkserve: finished: " << counters.Summary()
            << ", access log lines dropped: " << log.dropped() << std::endl;
        return kExitSuccess;
    } catch (const std::exception& error) {
        err << "tvkserve: " << error.what() << "\n";
    }
    return kExitFailure;
}

}  // namespace

int RunTvkserve(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    CommandLine line;
    try {
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        line.app.parse(reversed);
    } catch (const CLI::Success& help) {
        line.app.exit(help, out, err);
        return kExitSuccess;
    } catch (const CLI::ParseError& error) {
        err << "tvkserve: " << error.what() << "\nRun 'tvkserve --help' for usage.\n";
        return kExitUsage;
    }
    if (line.sign_url->parsed()) {
        return SignUrl(line, out, err);
    }
    if (line.config.empty()) {
        err << "usage: tvkserve --config FILE\n       tvkserve sign-url --key-file FILE --key ID "
               "(--expires-in SECONDS | --expires UNIX) URL\n";
        return kExitUsage;
    }
    return Serve(line.config, err);
}

}  // namespace tvkserve
