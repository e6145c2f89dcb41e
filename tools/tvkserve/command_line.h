// tvkserve's command line:
//
//   tvkserve --config FILE
//       serves the configuration's packages, each download tagged on the fly
//   tvkserve sign-url --key-file FILE --key ID (--expires-in SECONDS | --expires UNIX) URL
//       prints URL (a full URL or a request target) as a signed link
//
// Exit statuses: 0 success (and a server that finished after SIGTERM), 1 a
// failure (a configuration it cannot serve, a key file it cannot use),
// 2 a wrong command line.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tvkserve {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The command line less the program name. Results go to out, messages to
// err; a server's access log goes to the process's standard output.
int RunTvkserve(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace tvkserve
