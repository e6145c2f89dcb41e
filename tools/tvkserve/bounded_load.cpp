#include "tools/tvkserve/bounded_load.h"

#include <sstream>
#include <thread>

namespace tvkserve {

namespace {

// What the reading thread and the waiting one share; the reading thread may
// outlive the wait, and the server.
struct Attempt {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    LoadOutcome outcome;
};

}  // namespace

LoadOutcome BoundedLoader::Load(const std::filesystem::path& config_file,
                                std::chrono::seconds timeout) {
    auto attempt = std::make_shared<Attempt>();
    std::thread([attempt, config_file] {
        LoadOutcome outcome;
        std::ostringstream warnings;
        try {
            outcome.content = LoadContent(config_file, warnings);
        } catch (const std::exception& error) {
            outcome.failure = LoadFailureMessage(config_file, error);
        }
        outcome.warnings = warnings.str();
        const std::lock_guard lock(attempt->mutex);
        attempt->outcome = std::move(outcome);
        attempt->done = true;
        attempt->finished.notify_all();
    }).detach();

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(attempt->mutex);
    while (!attempt->done) {
        {
            const std::lock_guard cancel_lock(mutex_);
            if (cancel_) {
                return {nullptr, "tvkserve: the server is going away", ""};
            }
        }
        // Woken by the reader, or every so often to look for a cancel.
        if (attempt->finished.wait_until(lock,
                                         std::min(deadline, std::chrono::steady_clock::now() +
                                                                std::chrono::milliseconds(100))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline && !attempt->done) {
            return {nullptr,
                    "tvkserve: config '" + config_file.string() +
                        "': reading it and the files it names took more than " +
                        std::to_string(timeout.count()) +
                        " s (a file system that does not answer?); left behind",
                    ""};
        }
    }
    return std::move(attempt->outcome);
}

void BoundedLoader::Cancel() {
    const std::lock_guard lock(mutex_);
    cancel_ = true;
}

}  // namespace tvkserve
