#include "tests/support/fixtures.h"

#include <algorithm>

namespace test_support {

std::filesystem::path FixturePath(const std::string& name) {
    const std::string folder = TVK_FIXTURE_DIR;
#ifdef _WIN32
    // The build tree is a host folder: under Wine host path /x/y is Z:\x\y.
    std::string windows = "Z:" + folder + "/" + name;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return std::filesystem::path(windows);
#else
    return std::filesystem::path(folder) / name;
#endif
}

}  // namespace test_support
