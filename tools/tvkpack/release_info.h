// What this tvkpack is, for tvkpack --version: the project's version and the
// stub it was released with.
#pragma once

#include <string>

namespace tvkpack {

// "tvkpack <version>" and, on a second line, the identity of the stub
// released with it, or that it is not known (a build of one's own). Both
// lines end with a line break.
std::string VersionText();

}  // namespace tvkpack
