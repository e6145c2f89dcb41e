// tvkserve --config FILE
//
// Serves signed packages, each download tagged on the fly with its brand's
// parameters and the URL's query values, exactly as `tvkpack tag` would tag
// the file. See the README for the configuration and the URL form.
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include <boost/system/system_error.hpp>

#include "tools/tvkserve/access_log.h"
#include "tools/tvkserve/catalog.h"
#include "tools/tvkserve/download_server.h"
#include "tools/tvkserve/serve_config.h"
#include "tools/tvkserve/server_counters.h"

namespace {

constexpr char kUsage[] = "usage: tvkserve --config FILE\n";

// File descriptors the server needs besides its connections': the packages,
// standard streams, the event loop's own.
constexpr rlim_t kDescriptorsBesideConnections = 64;

// Each connection takes a file descriptor: allow as many as the system lets
// this process have, and say so when that is fewer than the connections the
// configuration allows (connections beyond it wait in the listen queue).
void RaiseFileLimit(const tvkserve::ServeConfig& config) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t needed = config.limits.max_connections + kDescriptorsBesideConnections;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        std::cerr << "tvkserve: warning: the process may open " << limit.rlim_cur
                  << " files, fewer than limits.max_connections (" << config.limits.max_connections
                  << ") needs\n";
    }
}

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
    try {
        const tvkserve::ServeConfig config = tvkserve::LoadConfig(config_file);
        RaiseFileLimit(config);
        const tvkserve::Catalog catalog(config, std::cerr);
        tvkserve::ServerCounters counters;
        tvkserve::AccessLog log(stdout);
        tvkserve::DownloadServer server(config, catalog, log, counters);
        std::cerr << "tvkserve: listening on " << server.address() << std::endl;
        server.Run();
        std::cerr << "tvkserve: finished: " << counters.Summary()
                  << ", access log lines dropped: " << log.dropped() << std::endl;
        return 0;
    } catch (const tvkserve::ConfigError& error) {
        std::cerr << "tvkserve: config '" << config_file << "': " << error.what() << "\n";
    } catch (const boost::system::system_error& error) {
        std::cerr << "tvkserve: cannot listen: " << error.what() << "\n";
    } catch (const std::exception& error) {
        std::cerr << "tvkserve: " << error.what() << "\n";
    }
    return 1;
}
