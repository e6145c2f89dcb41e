#include "tools/tvkserve/access_log.h"

#include <ctime>

namespace tvkserve {

namespace {

std::string Escaped(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            escaped += c;
        } else {
            escaped += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
        }
    }
    return escaped;
}

}  // namespace

std::string AccessLog::Line(const AccessRecord& record,
                            std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const std::time_t seconds = system_clock::to_time_t(time);
    const auto millis = duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &parts);
    char millis_text[8];
    std::snprintf(millis_text, sizeof millis_text, ".%03dZ", static_cast<int>(millis));
    char duration_text[32];
    std::snprintf(duration_text, sizeof duration_text, "%.1fms",
                  duration_cast<duration<double, std::milli>>(record.duration).count());
    return std::string(stamp) + millis_text + " " + record.client + " \"" + Escaped(record.method) +
           " " + Escaped(record.target) + "\" " + std::to_string(record.status) + " " +
           std::to_string(record.bytes) + " " + duration_text + "\n";
}

void AccessLog::Write(const AccessRecord& record) {
    const std::string line = Line(record, std::chrono::system_clock::now());
    const std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
}

}  // namespace tvkserve
