// make_bench_package OUT INSTALLER [PARAMS_LENGTH]
//
// Writes a version-1 package for the benchmarks to OUT: a minimal PE32 stub
// (the tests' synthetic package), INSTALLER's bytes unchanged as its
// installer image, and a parameters block of PARAMS_LENGTH base64
// characters (default 44). The package is for reading, not for signing: its
// certificate table holds stand-in signature bytes.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "tests/support/synthetic_package.h"
#include "tests/support/temp_dir.h"

namespace {}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: make_bench_package OUT INSTALLER [PARAMS_LENGTH]\n");
        return 2;
    }
    try {
        test_support::SyntheticPackage package;
        package.installer = test_support::ReadBytes(argv[2]);
        package.params_text =
            test_support::Base64Text(argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 44);
        test_support::WriteBytes(argv[1], package.Build());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_bench_package: %s\n", error.what());
        return 1;
    }
    return 0;
}
