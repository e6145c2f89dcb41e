#!/usr/bin/env bash
# Builds what a release ships, from the sources as they are, into dist/:
#   tvkstub_<version>_<arch>.deb    /usr/bin/tvkpack, /usr/bin/tvkserve and its systemd
#                                   unit, /usr/share/tvkstub/tvkstub.exe, the docs and a
#                                   sample server configuration; Depends computed by
#                                   dpkg-shlibdeps
#   tvkstub-<version>-windows.zip   tvkstub.exe, tvkpack.exe (console), the README and docs/
#   tvkstub.exe                     the stub both carry
#   SHA256SUMS                      for the three
# The version is the project's (project(... VERSION) in CMakeLists.txt); the
# tvkpack in both packages names the identity of the stub they carry.
# Builds in the presets' own trees (win32 for the stub and tvkpack.exe,
# native for tvkpack), so whatever they hold already is not built again.
#   tools/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

# The stub that ships: the product build's.
stub=$PWD/build/win32/tvkstub.exe
tvkpack=build/native/tools/tvkpack

configure() {
    local log
    log=$(cmake --preset "$1" -DTVK_SHIPPED_STUB="$stub" "${@:2}" 2>&1) || {
        echo "$log" >&2
        return 1
    }
}
build() {
    cmake --build --preset "$1" --target "${@:2}"
}

echo "== Building the stub and tvkpack.exe (win32) and tvkpack and tvkserve (native)"
configure win32 -DTVK_STUB_IDENTITY=
build win32 tvkstub tvkpack
configure native -DTVK_STUB_IDENTITY=
build native tvkpack

# The stub's identity as tvkpack computes it; a tvkpack without that command
# names the stub by the SHA-256 of its file.
if "$tvkpack" --help | grep -q 'stub-id'; then
    identity=$("$tvkpack" stub-id "$stub")
else
    identity="sha256 $(sha256sum "$stub" | cut -d' ' -f1)"
fi
echo "== The stub: $(stat -c %s "$stub") bytes, identity $identity"
configure win32 -DTVK_STUB_IDENTITY="$identity"
build win32 tvkpack
configure native -DTVK_STUB_IDENTITY="$identity"
build native tvkpack tvkserve
"$tvkpack" --version

echo "== Packing"
rm -rf dist
mkdir dist
pack() {
    local preset=$1 kind=$2
    rm -rf "build/$preset/cpack"
    cpack --config "build/$preset/CPackConfig.cmake" -B "build/$preset/cpack" >/dev/null
    mv "build/$preset/cpack"/*."$kind" dist/
}
pack native deb
pack win32 zip
cp "$stub" dist/tvkstub.exe
(cd dist && sha256sum -- *.deb *.zip tvkstub.exe > SHA256SUMS)

# The build trees go back to builds of one's own: their tvkpack does not claim
# a released stub that later builds may no longer match.
for preset in win32 native; do
    configure "$preset" -DTVK_STUB_IDENTITY=
done

echo "== dist/"
(cd dist && ls -l && cat SHA256SUMS)
