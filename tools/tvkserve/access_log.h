// One line per request on standard output, written when the response has
// ended (or was cut off):
//
//   2025-01-31T12:00:00.123Z 127.0.0.1 "GET /download/setup?brand=acme" 200 67108864 1520.3ms
//
// time (UTC), client address, method and target as received, status, body
// bytes sent, and the time from the request's header to the response's end.
// Bytes outside printable ASCII (and '"' and '\') in the target are written
// as \xNN, so that a line is always one line.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace tvkserve {

struct AccessRecord {
    std::string client;
    std::string method;  // "-" when the request could not be read
    std::string target;  // "-" likewise
    unsigned status = 0;
    std::uint64_t bytes = 0;
    std::chrono::steady_clock::duration duration{};
};

class AccessLog {
  public:
    // out stays open for the log's life; the log writes whole lines only.
    explicit AccessLog(std::FILE* out) : out_(out) {}

    void Write(const AccessRecord& record);

    // The line for a record, as Write writes it at time.
    static std::string Line(const AccessRecord& record, std::chrono::system_clock::time_point time);

  private:
    std::mutex mutex_;
    std::FILE* out_;
};

}  // namespace tvkserve
