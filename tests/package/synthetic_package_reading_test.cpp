// The in-memory package the block tests build is one the reader accepts,
// with the numbers its layout promises.
#include <gtest/gtest.h>

#include "package/pe_reader.h"
#include "tests/support/synthetic_package.h"

namespace {

using test_support::ScopedTempDir;
using test_support::SyntheticPackage;

TEST(SyntheticPackage, PassesValidationWithTheNumbersItWasBuiltWith) {
    ScopedTempDir dir;
    SyntheticPackage package;
    package.params_text = "eyJhIjoxfQ==";
    const auto bytes = package.Build();
    test_support::WriteBytes(dir.File("p.exe"), bytes);
    const PeReader reader(dir.WindowsFile("p.exe"));
    EXPECT_EQ(reader.installer_offset(), 1024);
    EXPECT_EQ(reader.installer_length(), 3000);
    EXPECT_EQ(reader.certificate_table_offset(), 4024);
    EXPECT_EQ(static_cast<std::size_t>(reader.certificate_table_offset()) +
                  static_cast<std::size_t>(reader.certificate_table_size()),
              bytes.size());
}

}  // namespace
