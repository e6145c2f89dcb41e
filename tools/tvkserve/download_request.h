// What a download URL asks for: /download/<package-id>?brand=<brand-id>&
// <name>=<value>..., checked against the configuration. The parameters text
// it yields is what the package is tagged with.
//
// The parameters text is the compact JSON (nlohmann's dump, no white space,
// UTF-8 as it is) of one object: the brand's params members in the
// configuration's order, then each query value the URL carries, as a string,
// in the order the configuration lists the query parameters (not the URL's
// order). Equal inputs give equal bytes.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "tools/tvkserve/serve_config.h"

namespace tvkserve {

// The URL path under which packages are served.
inline constexpr std::string_view kDownloadPath = "/download/";

struct DownloadSelection {
    const PackageEntry* package = nullptr;
    const BrandEntry* brand = nullptr;
    std::string params_text;
};

// A request that gets no download: its HTTP status and the text that says
// why, naming the parameter at fault.
struct RequestRejection {
    unsigned status = 400;
    std::string message;
};

// The path and query of an origin-form target ("/download/x?brand=y") or
// an absolute-form one ("http://host/download/x?brand=y"): from the path's
// first '/' on.
std::string_view PathAndQuery(std::string_view target);

// The download that target (the request line's target: origin form, or
// absolute form) selects, or why it selects none: 404 for an unknown path,
// package or brand; 400 for a missing brand, a query name that is not
// configured, a name given twice, a value that is not UTF-8, longer than its
// max_length or outside its pattern, or a broken percent escape. A '+' in the
// query stands for a space, as in HTML forms.
std::variant<DownloadSelection, RequestRejection> SelectDownload(std::string_view target,
                                                                 const ServeConfig& config);

}  // namespace tvkserve
