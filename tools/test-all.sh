#!/usr/bin/env bash
# Builds every configuration with warnings as errors and runs every test:
# native (with the edge worker on workerd, on the wasm build), native with
# sanitizers, bounded fuzz runs, the win32 product build (the stub built
# twice, in two folders, must be byte-identical) with all its tests under
# 32-bit Wine and the downloads of signed links from tvkserve and from the
# edge run by the stub (through tools/run32: directly where this machine
# executes 32-bit programs, else in a virtual machine), the stub's identity
# checked against a signed, tagged package of it, the same Windows sources
# as 64-bit programs under 64-bit Wine, the release (tools/release.sh, in the trees
# built here) with the checks of what it ships, and last every command the
# README and docs/ give a user, once with its smallest settings
# (tools/documented-commands.sh; the release it leaves to the stage before).
#   tools/test-all.sh                 (fuzz targets run 60 s each)
#   TVK_FUZZ_SECONDS=0 tools/test-all.sh   (no fuzz runs)
#   TVK_RUN32=vm tools/test-all.sh    (the win32 tests in the virtual machine
#                                      even where they could run directly)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}

build native
# The edge's WebAssembly module, which the native tests run on workerd.
build wasm
TVK_EDGE_REQUIRED=1 ctest --preset native

build native-asan
ctest --preset native-asan

fuzz_seconds=${TVK_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
    tools/fuzz.sh "$fuzz_seconds"
fi

build win32
# The stub image's checks run on this machine; everything else under 32-bit
# Wine, where a kernel executes 32-bit programs.
ctest --test-dir build/win32/tests/e2e -L host
# A signed link's download from the edge (workerd and nginx, here), for the
# stub to run with the others.
tests/e2e/edge_download.sh build/native build/win32 build/win32/edge-download
echo "== win32: the tests under 32-bit Wine, then signed links' downloads (tvkserve's, the edge's) run by the stub"
tools/run32/run32.sh --in-memory build/win32 --wine-prefix build/win32/wineprefix \
    -- sh -c 'tools/wine-tests.sh win32 &&
              tests/e2e/vendor_chain.sh build/native build/win32 build/win32/edge-download'
# The identity the build wrote beside the stub is the one tvkpack shows for a
# signed, tagged package of it.
sh tests/e2e/check_stub_identity.sh build/native/tools/tvkpack build/win32/tvkstub.exe \
    build/win32/tvkstub.exe.stub-id build/native/tests/fixtures/tiny_installer.exe

build win64
ctest --test-dir build/win64/tests/e2e -L host
tools/wine-tests.sh win64

tools/release.sh
ctest --preset release

echo "== The documented commands"
TVK_DOCUMENTED_SKIP="release ${TVK_DOCUMENTED_SKIP:-}" tools/documented-commands.sh
