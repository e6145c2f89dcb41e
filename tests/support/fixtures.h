// The test fixtures that the build makes: real PE32 programs built by the
// cross compiler and packages signed by osslsigncode (tests/fixtures).
#pragma once

#include <filesystem>
#include <string>

namespace test_support {

// The fixture file name as this test program sees it on the host: the
// build-tree path natively, its Z: drive form under Wine.
std::filesystem::path FixturePath(const std::string& name);

}  // namespace test_support
