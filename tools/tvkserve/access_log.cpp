#include "tools/tvkserve/access_log.h"

#include <ctime>

#include "tools/tvkserve/client_text.h"

namespace tvkserve {

namespace {

// How long the writer lets lines gather before it writes them.
constexpr std::chrono::milliseconds kGatherTime{2};
// How long the log's end waits for its reader to take the queued lines.
constexpr std::chrono::seconds kFinishTimeout{5};

// "2025-01-31T12:00:00.123Z" (UTC).
std::string Stamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const std::time_t seconds = system_clock::to_time_t(time);
    const auto millis = duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &parts);
    char millis_text[8];
    std::snprintf(millis_text, sizeof millis_text, ".%03dZ", static_cast<int>(millis));
    return std::string(stamp) + millis_text;
}

}  // namespace

std::string AccessLog::Line(const AccessRecord& record,
                            std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    char duration_text[32];
    std::snprintf(duration_text, sizeof duration_text, "%.1fms",
                  duration_cast<duration<double, std::milli>>(record.duration).count());
    return Stamp(time) + " " + record.client + " \"" + ClientText(record.method) + " " +
           ClientText(record.target) + "\" " + std::to_string(record.status) + " " +
           std::to_string(record.bytes) + " " + duration_text + (record.cut ? " cut" : "") + "\n";
}

AccessLog::AccessLog(std::FILE* out) : queue_(std::make_shared<LineQueue>()) {
    queue_->out = out;
    writer_ = std::thread(WriteLines, queue_);
}

AccessLog::~AccessLog() {
    std::unique_lock lock(queue_->mutex);
    queue_->stopping = true;
    queue_->wake.notify_one();
    const bool finished = queue_->idle.wait_for(
        lock, kFinishTimeout, [&] { return queue_->lines.empty() && !queue_->writing; });
    const std::size_t left = queue_->lines.size();
    lock.unlock();
    if (finished) {
        writer_.join();
    } else {
        std::fprintf(stderr,
                     "tvkserve: the access log's reader takes no more lines; %zu queued lines "
                     "and the one being written are left\n",
                     left);
        writer_.detach();  // it holds the queue; the process ends around it
    }
}

void AccessLog::Write(const AccessRecord& record) {
    Queue(Line(record, std::chrono::system_clock::now()));
}

void AccessLog::WriteNote(std::string_view text) {
    Queue(Stamp(std::chrono::system_clock::now()) + " " + ClientText(text) + "\n");
}

void AccessLog::Queue(std::string line) {
    const std::lock_guard lock(queue_->mutex);
    if (queue_->bytes + line.size() > kQueueBytes) {
        ++queue_->dropped;
        return;
    }
    queue_->bytes += line.size();
    queue_->lines.push_back(std::move(line));
    // The writer looks at the queue again after each batch: it needs waking
    // only for the first line of a batch.
    if (queue_->lines.size() == 1 && !queue_->writing) {
        queue_->wake.notify_one();
    }
}

std::uint64_t AccessLog::dropped() const {
    return queue_->dropped;
}

void AccessLog::WriteLines(const std::shared_ptr<LineQueue>& queue) {
    std::uint64_t dropped_told = 0;
    std::unique_lock lock(queue->mutex);
    for (;;) {
        queue->wake.wait(lock, [&] { return !queue->lines.empty() || queue->stopping; });
        if (queue->lines.empty()) {
            queue->idle.notify_all();
            return;  // stopping, and everything written
        }
        // A moment for the lines of other requests to join this batch: one
        // wake-up and one write for many lines when requests come fast.
        if (!queue->stopping) {
            queue->wake.wait_for(lock, kGatherTime, [&] { return queue->stopping; });
        }
        std::deque<std::string> lines;
        lines.swap(queue->lines);
        queue->bytes = 0;
        queue->writing = true;
        lock.unlock();
        for (const std::string& line : lines) {
            std::fwrite(line.data(), 1, line.size(), queue->out);
        }
        std::fflush(queue->out);
        if (const std::uint64_t dropped = queue->dropped; dropped != dropped_told) {
            std::fprintf(stderr,
                         "tvkserve: the access log's reader fell behind: %llu lines dropped so "
                         "far\n",
                         static_cast<unsigned long long>(dropped));
            dropped_told = dropped;
        }
        lock.lock();
        queue->writing = false;
        if (queue->lines.empty()) {
            queue->idle.notify_all();
        }
    }
}

}  // namespace tvkserve
