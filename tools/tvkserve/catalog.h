// Everything the server sends, loaded at start and on each reload: each
// configured package, opened and checked, and each brand with its icon and
// picture, each held once. A request's download is first described from lengths and hashes
// alone (its size and entity tag), and built only when its response sends
// the bytes a tag changes; a built download shares the package's signed
// table and the brand's blocks and makes only the rest.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "tools/packaging/tag_signature.h"
#include "tools/tvkserve/download_request.h"
#include "tools/tvkserve/serve_config.h"
#include "tools/tvkserve/served_brand.h"
#include "tools/tvkserve/served_package.h"

namespace tvkserve {

// A download as a request selects it, before anything is built.
struct DownloadDescription {
    std::string package_id;  // the configuration's ids, for the counts
    std::string brand_id;
    std::shared_ptr<const ServedPackage> package;
    std::shared_ptr<const ServedBrand> brand;
    std::string params_text;  // unsigned
    // The key that signs the tag (the holder keeps it through reloads), or
    // none.
    std::shared_ptr<const packaging::TagSigningKey> tag_key;
    std::int32_t version = 0;
    std::uint64_t size = 0;  // the whole download
    std::string etag;        // strong: from the package's content and the tag's inputs
};

class Catalog {
  public:
    // Reads and checks every file the configuration names; throws
    // ConfigError naming the entry at fault. Warnings about files that can
    // still be served go to warnings.
    Catalog(const ServeConfig& config, std::ostream& warnings);

    // The download a selection names, from lengths and hashes alone. Throws
    // packaging::CommandError when it cannot be tagged (the parameters exceed
    // a block's limit, or the package would reach 2 GiB).
    DownloadDescription Describe(const DownloadSelection& selection) const;

    // The download built: its first header bytes and its table's pieces,
    // which refer to the description's package and brand (the holder of
    // the download holds them too).
    static std::shared_ptr<const TaggedDownload> Tag(const DownloadDescription& description);

  private:
    std::shared_ptr<const packaging::TagSigningKey> tag_key_;
    Sha256Digest tag_key_digest_{};  // of its public key, for entity tags
    std::map<std::string, std::shared_ptr<const ServedPackage>, std::less<>> packages_;
    std::map<std::string, std::shared_ptr<const ServedBrand>, std::less<>> brands_;
};

}  // namespace tvkserve
