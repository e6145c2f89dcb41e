#include "tools/tvkpack/release_info.h"

#include "tvk_version.h"
#include "tvkpack_release.h"

namespace tvkpack {

std::string VersionText() {
    const std::string identity = TVK_RELEASED_STUB_IDENTITY;
    return std::string("tvkpack ") + TVK_VERSION_TEXT + "\nreleased with stub: " +
           (identity.empty() ? "unknown (this tvkpack was not built by tools/release.sh)"
                             : identity) +
           "\n";
}

}  // namespace tvkpack
