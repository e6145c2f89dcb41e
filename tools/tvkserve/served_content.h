// What the server serves under one configuration: the configuration and the
// catalog of the files it names, loaded together at start and again on each
// reload (SIGHUP). A request takes the content in force when it arrives; a
// download holds the package and the brand it began with, so a reload never
// changes the bytes of a download that runs.
#pragma once

#include <exception>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include "tools/tvkserve/catalog.h"
#include "tools/tvkserve/serve_config.h"
#include "tools/tvkserve/signed_link.h"

namespace tvkserve {

struct ServedContent {
    ServedContent(ServeConfig loaded, std::ostream& warnings)
        : config(std::move(loaded)),
          link_keys(config.links ? LinkKeys(*config.links) : LinkKeys()),
          catalog(config, warnings) {}

    const ServeConfig config;
    const LinkKeys link_keys;
    const Catalog catalog;
};

// Reads the configuration file and every file it names; throws ConfigError
// (or, out of memory and the like, another std::exception). Warnings about
// files that can still be served go to warnings.
std::shared_ptr<const ServedContent> LoadContent(const std::filesystem::path& config_file,
                                                 std::ostream& warnings);

// The line that says why a configuration cannot be loaded, the same at start
// and on reload: "tvkserve: config 'FILE': packages.setup.file: ...".
std::string LoadFailureMessage(const std::filesystem::path& config_file,
                               const std::exception& error);

}  // namespace tvkserve
