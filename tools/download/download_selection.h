// What a download URL asks for: /download/<package-id>?brand=<brand-id>&
// <name>=<value>..., checked against the rules of a configuration. The
// server and the edge select downloads with this one function, so that a
// URL gives the same answer and the same parameters text from both.
//
// The parameters text is the compact JSON (nlohmann's dump, no white space,
// UTF-8 as it is) of one object: the brand's params members in the
// configuration's order, then each query value the URL carries, as a string,
// in the order the configuration lists the query parameters (not the URL's
// order). Equal inputs give equal bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

namespace download {

// The URL path under which packages are served.
inline constexpr std::string_view kDownloadPath = "/download/";
// The query parameter that selects the brand; no configured parameter may
// take its name.
inline constexpr std::string_view kBrandParameter = "brand";

// A query parameter a URL may carry: the longest value it takes, in bytes
// of the decoded value, and the pattern the whole value must match.
struct QueryRule {
    std::string name;
    std::size_t max_length = 0;
    std::string pattern_text;
};

// What a configuration lets a URL name. The server and the edge hold their
// configurations in their own forms and answer through this.
class SelectionRules {
  public:
    virtual ~SelectionRules() = default;
    virtual bool HasPackage(std::string_view id) const = 0;
    // The brand's fixed parameters (an object), or null for no such brand.
    virtual const nlohmann::ordered_json* BrandParams(std::string_view id) const = 0;
    // The query parameters, in the configuration's order.
    virtual std::size_t QueryCount() const = 0;
    virtual const QueryRule& Query(std::size_t index) const = 0;
    // Whether the whole value (UTF-8, within max_length) matches the
    // pattern of query parameter index.
    virtual bool Matches(std::size_t index, const std::string& value) const = 0;
};

struct Selection {
    std::string package_id;
    std::string brand_id;
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

// The download that target selects, or why it selects none: 404 for an
// unknown path, package or brand; 400 for a missing brand, a query name
// that is not configured, a name given twice, a value that is not UTF-8,
// longer than its max_length or outside its pattern, or a broken percent
// escape. A '+' in the query stands for a space, as in HTML forms.
std::variant<Selection, RequestRejection> SelectDownload(std::string_view target,
                                                         const SelectionRules& rules);

// Whether text is UTF-8 (names in a configuration, values in a URL): the
// parameters text is JSON, which carries nothing else.
bool IsUtf8(const std::string& text);

}  // namespace download
