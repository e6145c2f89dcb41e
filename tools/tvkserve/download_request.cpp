#include "tools/tvkserve/download_request.h"

namespace tvkserve {

namespace {

// The configuration as the shared selection reads it; query values match
// their patterns with RE2.
class ConfigRules : public download::SelectionRules {
  public:
    explicit ConfigRules(const ServeConfig& config) : config_(config) {}

    bool HasPackage(std::string_view id) const override { return config_.FindPackage(id); }
    const nlohmann::ordered_json* BrandParams(std::string_view id) const override {
        const BrandEntry* brand = config_.FindBrand(id);
        return brand ? &brand->params : nullptr;
    }
    std::size_t QueryCount() const override { return config_.query.size(); }
    const download::QueryRule& Query(std::size_t index) const override {
        return config_.query[index];
    }
    bool Matches(std::size_t index, const std::string& value) const override {
        return re2::RE2::FullMatch(value, *config_.query[index].pattern);
    }

  private:
    const ServeConfig& config_;
};

}  // namespace

std::variant<DownloadSelection, RequestRejection> SelectDownload(std::string_view target,
                                                                 const ServeConfig& config) {
    auto selected = download::SelectDownload(target, ConfigRules(config));
    if (auto* rejection = std::get_if<RequestRejection>(&selected)) {
        return std::move(*rejection);
    }
    download::Selection& selection = std::get<download::Selection>(selected);
    return DownloadSelection{config.FindPackage(selection.package_id),
                             config.FindBrand(selection.brand_id),
                             std::move(selection.params_text)};
}

}  // namespace tvkserve
