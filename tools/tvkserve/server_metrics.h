// GET /metrics: the server's counts in Prometheus' text exposition format
// (version 0.0.4), which every Prometheus-compatible scraper reads. The
// labels take only values from bounded sets: status codes, the
// configuration's package and brand ids, a few fixed reasons; never a value
// from a request's query.
#pragma once

#include <cstdint>
#include <string>

#include "tools/tvkserve/server_counters.h"

namespace tvkserve {

inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// What the server knows now besides its counters.
struct ServerGauges {
    std::uint64_t open_connections = 0;  // on the download address
    std::uint64_t tag_bytes_held = 0;
    std::uint64_t access_log_lines_dropped = 0;
};

std::string MetricsText(const ServerCounters& counters, const ServerGauges& gauges);

}  // namespace tvkserve
