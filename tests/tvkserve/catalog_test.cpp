// The catalog as the server builds it at start: a brand's icon or picture
// that holds an archive marker is warned of, by entry, file and offset.
#include "tools/tvkserve/catalog.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::Bytes;
using test_support::ScopedTempDir;
using test_support::WriteBytes;

TEST(Catalog, WarnsAtStartOfAnArchiveMarkerInABrandsPicture) {
    ScopedTempDir folder;
    Bytes icon = test_support::PatternBytes(300, 31);
    icon[0] = 0, icon[1] = 0, icon[2] = 1, icon[3] = 0;
    Bytes picture = test_support::PatternBytes(700, 32);
    picture[0] = 'B', picture[1] = 'M';
    std::copy_n("EGGA", 4, picture.begin() + 50);
    WriteBytes(folder.File("icon.ico"), icon);
    WriteBytes(folder.File("picture.bmp"), picture);
    const tvkserve::ServeConfig config =
        tvkserve::ParseConfig(R"({"listen": "127.0.0.1:0", "packages": {"p": {"file": ")" +
                                  test_support::FixturePath("signed_runnable.exe").string() +
                                  R"(", "download_name": "P.exe"}},
            "brands": {"b": {"params": {}, "icon": "icon.ico", "picture": "picture.bmp"}}})",
                              folder.path());

    std::ostringstream warnings;
    const tvkserve::Catalog catalog(config, warnings);
    const std::string expected = "tvkserve: warning: brands.b.picture: '" +
                                 folder.File("picture.bmp").string() +
                                 "' holds \"EGGA\" (EGG archive header) at offset 50: ";
    const std::string text = warnings.str();
    EXPECT_NE(text.find(expected), std::string::npos) << text;
    // Once, and nothing of the icon, which holds none.
    EXPECT_EQ(text.find("EGGA"), text.rfind("EGGA")) << text;
    EXPECT_EQ(text.find("brands.b.icon"), std::string::npos) << text;
}

}  // namespace
