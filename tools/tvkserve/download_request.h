// What a download URL asks for, checked against the server's configuration:
// the selection that tools/download/download_selection.h makes (the edge
// makes the same), with the configuration's entries it names.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "tools/download/download_selection.h"
#include "tools/tvkserve/serve_config.h"

namespace tvkserve {

using download::kDownloadPath;
using download::PathAndQuery;
using download::RequestRejection;

struct DownloadSelection {
    const PackageEntry* package = nullptr;
    const BrandEntry* brand = nullptr;
    std::string params_text;
};

// The download that target (the request line's target: origin form, or
// absolute form) selects, or why it selects none (see download::SelectDownload).
std::variant<DownloadSelection, RequestRejection> SelectDownload(std::string_view target,
                                                                 const ServeConfig& config);

}  // namespace tvkserve
