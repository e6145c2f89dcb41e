// One line per request on standard output, written when the response has
// ended (or was cut off):
//
//   2025-01-31T12:00:00.123Z 127.0.0.1 "GET /download/setup?brand=acme" 200 67108864 1520.3ms
//
// time (UTC), client address, method and target as received, status, body
// bytes the client took, and the time from the request's header to the
// response's end; a response that did not reach the client whole (it left,
// or stalled) ends with the word "cut".
// Bytes outside printable ASCII (and '"' and '\') in the target are written
// as \xNN, so that a line is always one line.
//
// What happens to the server itself (a reload, applied or refused) has a
// line of its own, whose second field is a word, never an address:
//
//   2025-01-31T12:00:00.456Z reload applied: packages: 2, brands: 3, read in 85.2ms
//
// A thread of its own writes the lines, so that a reader of the output that
// stalls never holds up a connection: lines wait in a bounded queue, and
// when the queue is full a line is dropped and counted (and the count said
// on standard error once the reader takes lines again).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tvkserve {

struct AccessRecord {
    std::string client;
    std::string method;  // "-" when the request could not be read
    std::string target;  // "-" likewise
    unsigned status = 0;
    std::uint64_t bytes = 0;  // of the body, that the client took
    std::chrono::steady_clock::duration duration{};
    bool cut = false;  // the response did not reach the client whole
};

class AccessLog {
  public:
    // The most bytes of lines that wait for the writer.
    static constexpr std::size_t kQueueBytes = 1 << 20;

    // out stays open for the log's life (and beyond, should the reader never
    // take the last lines); the log writes whole lines only.
    explicit AccessLog(std::FILE* out);
    // Waits a few seconds for the queued lines to be written, then leaves
    // any that the reader does not take.
    ~AccessLog();
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;

    // Queues the record's line; never waits for the output.
    void Write(const AccessRecord& record);
    // Queues a line about the server: the time, then text (escaped as a
    // target is).
    void WriteNote(std::string_view text);

    // How many lines were dropped because the queue was full.
    std::uint64_t dropped() const;

    // The line for a record, as Write writes it at time.
    static std::string Line(const AccessRecord& record, std::chrono::system_clock::time_point time);

  private:
    void Queue(std::string line);

    // Shared with the writer thread, which may outlive the log when the
    // output blocks for good.
    struct LineQueue {
        std::FILE* out = nullptr;
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable idle;
        std::deque<std::string> lines;
        std::size_t bytes = 0;
        bool writing = false;
        bool stopping = false;
        std::atomic<std::uint64_t> dropped{0};
    };
    static void WriteLines(const std::shared_ptr<LineQueue>& queue);

    std::shared_ptr<LineQueue> queue_;
    std::thread writer_;
};

}  // namespace tvkserve
