#include "tools/tvkserve/file_limit.h"

#include <sys/resource.h>

namespace tvkserve {

namespace {

// File descriptors the server needs besides its connections': the packages,
// standard streams, the event loop's own.
constexpr rlim_t kDescriptorsBesideConnections = 64;

}  // namespace

void RaiseFileLimit(std::size_t max_connections, std::ostream& warnings) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t needed = max_connections + kDescriptorsBesideConnections;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        warnings << "tvkserve: warning: the process may open " << limit.rlim_cur
                 << " files, fewer than limits.max_connections (" << max_connections << ") needs\n";
    }
}

}  // namespace tvkserve
