#include "tools/tvkserve/served_content.h"

namespace tvkserve {

std::shared_ptr<const ServedContent> LoadContent(const std::filesystem::path& config_file,
                                                 std::ostream& warnings) {
    return std::make_shared<const ServedContent>(LoadConfig(config_file), warnings);
}

std::string LoadFailureMessage(const std::filesystem::path& config_file,
                               const std::exception& error) {
    if (dynamic_cast<const ConfigError*>(&error)) {
        return "tvkserve: config '" + config_file.string() + "': " + error.what();
    }
    return std::string("tvkserve: ") + error.what();
}

}  // namespace tvkserve
