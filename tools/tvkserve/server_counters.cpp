#include "tools/tvkserve/server_counters.h"

namespace tvkserve {

std::string ServerCounters::Summary() const {
    return "connections: " + std::to_string(connections.load()) +
           ", requests: " + std::to_string(requests.load()) +
           ", tags built: " + std::to_string(tags_built.load()) +
           ", turned away (max_connections): " + std::to_string(turned_away.load()) +
           ", refused (max_tag_bytes): " + std::to_string(refused_tag_bytes.load());
}

bool TagBytesBudget::Take(std::uint64_t bytes) {
    std::uint64_t held = held_.load();
    do {
        if (bytes > cap_ || held > cap_ - bytes) {
            return false;
        }
    } while (!held_.compare_exchange_weak(held, held + bytes));
    return true;
}

}  // namespace tvkserve
