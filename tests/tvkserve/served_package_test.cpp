// A served package's tagged copy, as the server sends it (the first header
// bytes, the file's body, the table's pieces, with a checksum composed from
// sums gathered once), is byte for byte what `tvkpack tag` writes, wherever
// the shared blocks fall: icons, pictures and parameters of odd and even
// lengths move the pieces after them between odd and even offsets.
#include "tools/tvkserve/served_package.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tvkpack_images.h"
#include "tools/tvkpack/tvkpack_commands.h"

namespace {

using test_support::Bytes;

Bytes Sent(const tvkserve::ServedPackage& package, const tvkserve::TaggedDownload& download,
           const Bytes& file) {
    Bytes sent = download.head;
    sent.insert(sent.end(), file.begin() + static_cast<std::ptrdiff_t>(download.head.size()),
                file.begin() + static_cast<std::ptrdiff_t>(package.table_offset()));
    const Bytes table = download.table.Concatenate();
    sent.insert(sent.end(), table.begin(), table.end());
    return sent;
}

TEST(ServedPackage, PiecesAndComposedChecksumEqualTvkpackTagAtOddAndEvenOffsets) {
    test_support::ScopedTempDir folder;
    const std::filesystem::path signed_file = test_support::FixturePath("signed_runnable.exe");
    const Bytes file = test_support::ReadBytes(signed_file);
    const tvkserve::ServedPackage package(signed_file);
    for (const std::size_t icon_size : {300u, 301u}) {
        for (const std::size_t picture_size : {700u, 701u}) {
            Bytes icon = test_support::PatternBytes(icon_size, 41);
            icon[0] = 0, icon[1] = 0, icon[2] = 1, icon[3] = 0;
            Bytes picture = test_support::PatternBytes(picture_size, 42);
            picture[0] = 'B', picture[1] = 'M';
            test_support::WriteBytes(folder.File("i.ico"), icon);
            test_support::WriteBytes(folder.File("p.bmp"), picture);
            tvkserve::BrandEntry entry;
            entry.id = "b";
            entry.params = nlohmann::ordered_json::object();
            entry.icon = folder.File("i.ico");
            entry.picture = folder.File("p.bmp");
            const tvkserve::ServedBrand brand(entry);
            // Base64 grows by 4 for each 3 bytes: parameters of 8 to 13
            // bytes give blocks on both sides of each step.
            for (std::size_t extra = 0; extra < 6; ++extra) {
                const std::string params = "{\"a\":\"" + std::string(extra, 'x') + "\"}";
                SCOPED_TRACE(std::to_string(icon_size) + " " + std::to_string(picture_size) + " " +
                             params);
                const auto download = package.Tag(brand, params, 2);
                const tvkpack::TagContent content{Bytes(params.begin(), params.end()), icon,
                                                  picture, 2};
                EXPECT_TRUE(Sent(package, *download, file) ==
                            test_support::TvkpackTag(file, content).package);
            }
        }
    }
}

}  // namespace
