#!/usr/bin/env bash
# Builds every configuration with warnings as errors and runs every test:
# native, native with sanitizers, bounded fuzz runs, the win32 product build
# (its tests under Wine where this machine can run 32-bit programs; the stub
# built twice, in two folders, must be byte-identical), the stub's identity
# checked against a signed, tagged package of it, the same Windows sources as
# 64-bit programs under 64-bit Wine, and the release (tools/release.sh, in the
# trees built here) with the checks of what it ships.
#   tools/test-all.sh                 (fuzz targets run 60 s each)
#   TVK_FUZZ_SECONDS=0 tools/test-all.sh   (no fuzz runs)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}

run_wine_tests() {
    local preset=$1
    "build/$preset/wine-server" start
    local status=0
    ctest --preset "$preset" || status=$?
    "build/$preset/wine-server" stop
    return $status
}

build native
ctest --preset native

build native-asan
ctest --preset native-asan

fuzz_seconds=${TVK_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
    tools/fuzz.sh "$fuzz_seconds"
fi

build win32
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    run_wine_tests win32
else
    echo "win32: this machine cannot execute 32-bit programs, so 32-bit Wine cannot"
    echo "win32: start; only the host-side checks of the stub run here. The same"
    echo "win32: tests run as 64-bit programs under 64-bit Wine (win64) below."
    ctest --preset win32
fi
# The identity the build wrote beside the stub is the one tvkpack shows for a
# signed, tagged package of it.
sh tests/e2e/check_stub_identity.sh build/native/tools/tvkpack build/win32/tvkstub.exe \
    build/win32/tvkstub.exe.stub-id build/native/tests/fixtures/tiny_installer.exe

build win64
run_wine_tests win64

tools/release.sh
ctest --preset release
