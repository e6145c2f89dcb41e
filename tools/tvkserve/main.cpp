// tvkserve --config FILE
//
// Serves signed packages, each download tagged on the fly with its brand's
// parameters and the URL's query values, exactly as `tvkpack tag` would tag
// the file. SIGHUP reads the configuration again; SIGTERM finishes the
// running downloads and exits. See the README for the configuration, the
// URL form and the metrics.
#include <csignal>
#include <iostream>
#include <string>

#include "tools/tvkserve/access_log.h"
#include "tools/tvkserve/download_server.h"
#include "tools/tvkserve/file_limit.h"
#include "tools/tvkserve/served_content.h"
#include "tools/tvkserve/server_counters.h"

namespace {

constexpr char kUsage[] = "usage: tvkserve --config FILE\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[1]) != "--config") {
        std::cerr << kUsage;
        return 2;
    }
    const std::string config_file = argv[2];
    // A client that leaves mid-download makes a write fail; it must not end
    // the process.
    std::signal(SIGPIPE, SIG_IGN);
    // A reload asked for while the server starts must not end it either;
    // the server takes SIGHUP once it serves.
    std::signal(SIGHUP, SIG_IGN);
    std::shared_ptr<const tvkserve::ServedContent> content;
    try {
        content = tvkserve::LoadContent(config_file, std::cerr);
    } catch (const std::exception& error) {
        std::cerr << tvkserve::LoadFailureMessage(config_file, error) << "\n";
        return 1;
    }
    try {
        tvkserve::RaiseFileLimit(content->config.limits.max_connections, std::cerr);
        tvkserve::ServerCounters counters;
        tvkserve::AccessLog log(stdout);
        tvkserve::DownloadServer server(config_file, std::move(content), log, counters);
        if (const auto metrics = server.metrics_address()) {
            std::cerr << "tvkserve: metrics on " << *metrics << "\n";
        }
        std::cerr << "tvkserve: listening on " << server.address() << std::endl;
        server.Run();
        std::cerr << "tvkserve: finished: " << counters.Summary()
                  << ", access log lines dropped: " << log.dropped() << std::endl;
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "tvkserve: " << error.what() << "\n";
    }
    return 1;
}
