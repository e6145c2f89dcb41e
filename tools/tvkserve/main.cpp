// tvkserve --config FILE
// tvkserve sign-url --key-file FILE --key ID (--expires-in SECONDS | --expires UNIX) URL
//
// Serves signed packages, each download tagged on the fly with its brand's
// parameters and the URL's query values, exactly as `tvkpack tag` would tag
// the file; or signs a download link. SIGHUP reads the configuration again;
// SIGTERM finishes the running downloads and exits. docs/serving.md describes
// the configuration and the URL form, docs/operating.md the metrics.
#include <iostream>
#include <string>
#include <vector>

#include "tools/tvkserve/command_line.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return tvkserve::RunTvkserve(arguments, std::cout, std::cerr);
}
