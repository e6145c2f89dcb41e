// What a whole run costs in memory: a fresh process runs the sequence on a
// package with the largest parameters block a package may carry, and its
// resident memory may rise by no more than the copy buffer, the block's
// text buffer and its decoded bytes, and a small allowance. Native only (the
// probe reads Linux's /proc); handles are checked after every run of the
// fault sweep and the run sequence tests.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "package/package_layout.h"
#include "tests/support/synthetic_package.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::ScopedTempDir;
using test_support::SyntheticPackage;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

constexpr long kKib = 1024;
// The installer extraction's copy buffer.
constexpr long kCopyBuffer = 0x100000;
// The largest parameters block: base64 text, read into a buffer one byte
// longer, and the bytes it decodes to.
constexpr long kBlock = package_layout::kBlockSizeLimit;
constexpr long kTextBuffer = kBlock + 1;
constexpr long kDecoded = kBlock / 4 * 3;
// What else a run may hold at once: its paths and strings, the installer's
// command line buffer (32768 wide characters, 128 KiB where they are 4
// bytes), the stand-in's process start, allocator bookkeeping and page
// rounding of the big blocks. Measured on this build: the rise comes within
// 64 KiB of the three buffers together (the freed copy buffer stays in the
// allocator's heap, so it counts even though it is not held at the peak).
constexpr long kAllowance = 512 * kKib;

SyntheticPackage Package(std::size_t params_length) {
    SyntheticPackage package;
    package.installer = test_support::ReadBytes(TVK_TEST_INSTALLER);
    package.version = 2;
    package.params_text = test_support::Base64Text(params_length);
    package.icon = test_support::PatternBytes(1000, 41);
    package.picture = test_support::PatternBytes(2000, 42);
    return package;
}

struct Probe {
    long start_kib = -1;
    long peak_kib = -1;
    int warm_up_status = -1;
    int status = -1;
};

Probe RunProbe(const ScopedTempDir& temp, const std::string& warm_up, const std::string& package) {
    const std::string command = std::string("'") + TVK_RUN_MEMORY_PROBE + "' '" +
                                temp.path().string() + "' '" + warm_up + "' '" + package + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    Probe probe;
    if (pipe == nullptr) {
        return probe;
    }
    char line[256] = {};
    if (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::istringstream(line) >> probe.start_kib >> probe.peak_kib >> probe.warm_up_status >>
            probe.status;
    }
    return probe;
}

TEST(RunResourcesTest, PeakMemoryStaysWithinTheCopyBufferAndTheLargestBlockDecoded) {
    if (kAddressSanitizer) {
        GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine are not the run's";
    }
    ScopedTempDir packages;
    ScopedTempDir temp;
    test_support::WriteBytes(packages.File("warm_up.exe"), Package(64).Build());
    test_support::WriteBytes(packages.File("largest.exe"),
                             Package(static_cast<std::size_t>(kBlock)).Build());

    const Probe probe = RunProbe(temp, packages.File("warm_up.exe").string(),
                                 packages.File("largest.exe").string());
    ASSERT_EQ(probe.warm_up_status, 0);
    ASSERT_EQ(probe.status, 0);
    ASSERT_GT(probe.start_kib, 0);
    const long rise = (probe.peak_kib - probe.start_kib) * kKib;
    const long bound = kCopyBuffer + kTextBuffer + kDecoded + kAllowance;
    EXPECT_LE(rise, bound) << "the run's resident memory rose by " << rise / kKib << " KiB";
    // The measurement sees the block at all: the text buffer and the decoded
    // bytes are resident at once.
    EXPECT_GE(rise, kTextBuffer + kDecoded - kAllowance)
        << "the run's resident memory rose by only " << rise / kKib << " KiB";
    std::printf("run peak memory rise: %ld KiB (bound %ld KiB)\n", rise / kKib, bound / kKib);
}

}  // namespace

#endif  // _WIN32
