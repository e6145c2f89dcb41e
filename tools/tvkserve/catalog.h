// Everything the server sends, loaded at start: each configured package,
// opened and checked, and each brand with its icon and picture. Tagged
// downloads are made on demand and shared while requests for the same tag
// run, so that many downloads of one tag hold one copy of it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "tools/tvkserve/download_request.h"
#include "tools/tvkserve/serve_config.h"
#include "tools/tvkserve/served_package.h"

namespace tvkserve {

class Catalog {
  public:
    // Reads and checks every file the configuration names; throws
    // ConfigError naming the entry at fault. Warnings about files that can
    // still be served go to warnings.
    Catalog(const ServeConfig& config, std::ostream& warnings);

    // The tagged download for a selection. Throws tvkpack::CommandError when
    // the tag cannot be made (the parameters exceed a block's limit, or the
    // package would reach 2 GiB).
    std::shared_ptr<const TaggedDownload> Download(const DownloadSelection& selection);

  private:
    struct Brand {
        Bytes icon;
        Bytes picture;
    };

    std::map<std::string, std::unique_ptr<ServedPackage>, std::less<>> packages_;
    std::map<std::string, Brand, std::less<>> brands_;

    // Tags in use, by package, brand and parameters text; an entry lives as
    // long as a request holds its download.
    std::mutex tags_mutex_;
    std::map<std::string, std::weak_ptr<const TaggedDownload>> tags_;
    std::size_t prune_at_ = 0;
};

}  // namespace tvkserve
