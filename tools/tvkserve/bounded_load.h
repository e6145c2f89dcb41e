// Loads a configuration and every file it names within a time bound. The
// files are opened without blocking and must be regular, but reading even a
// regular file can hang (a network file system that stopped answering): the
// reading then runs on a thread of its own that is left behind, and the
// load is refused, so that the server's reloads and its shutdown go on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "tools/tvkserve/served_content.h"

namespace tvkserve {

struct LoadOutcome {
    std::shared_ptr<const ServedContent> content;  // null when refused
    std::string failure;   // the line that says why ("tvkserve: config 'FILE': ...")
    std::string warnings;  // about files that can still be served
};

class BoundedLoader {
  public:
    // Loads config_file, waiting at most timeout (or until Cancel).
    LoadOutcome Load(const std::filesystem::path& config_file, std::chrono::seconds timeout);
    // Ends the wait of a Load under way (the server is going away).
    void Cancel();

  private:
    std::mutex mutex_;
    bool cancel_ = false;
};

}  // namespace tvkserve
