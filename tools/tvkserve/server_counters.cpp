#include "tools/tvkserve/server_counters.h"

namespace tvkserve {

std::string ServerCounters::Summary() const {
    return std::to_string(connections.load()) + " connections, " + std::to_string(requests.load()) +
           " requests, " + std::to_string(tags_built.load()) + " tags built, " +
           std::to_string(turned_away.load()) + " connections turned away (max_connections), " +
           std::to_string(refused_tag_bytes.load()) + " downloads refused (max_tag_bytes)";
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
