// Helpers shared by the tests of the package reader's block operations
// (ReadData, ExtractParams, ExtractPicture, ExtractIco).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "platform/pe_format_exception.h"
#include "tests/support/synthetic_package.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace test_support {

// Writes the package into the folder and returns its path as the reader
// sees it.
inline std::wstring WritePackage(const ScopedTempDir& dir, const SyntheticPackage& package) {
    WriteBytes(dir.File("package.exe"), package.Build());
    return dir.WindowsFile("package.exe");
}

// The message of the PeFormatException that operation throws, or a text
// that matches no message when it throws none.
template <typename Operation>
std::string FormatFailureOf(Operation&& operation) {
    try {
        operation();
    } catch (const PeFormatException& failure) {
        return failure.what();
    }
    return "(no PeFormatException)";
}

// Counts the open Windows handles where the stand-in can: every operation
// must leave as many open as it found. Checks nothing under Windows.
class HandleLeakCheck {
  public:
#ifndef _WIN32
    HandleLeakCheck() : before_(standin::OpenHandleCount()) {}
    ~HandleLeakCheck() {
        EXPECT_EQ(standin::OpenHandleCount(), before_) << "a handle was left open";
    }

  private:
    std::size_t before_;
#else
    // Not trivial, so that an unused instance draws no warning.
    HandleLeakCheck() {}
    ~HandleLeakCheck() {}
#endif
};

}  // namespace test_support
