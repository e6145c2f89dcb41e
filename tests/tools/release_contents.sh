#!/bin/sh
# What tools/release.sh wrote into dist/: the stub in the zip, in the Debian
# package and beside them is the build's byte for byte, the zip holds the
# README and docs/ as the sources have them, the checksums hold,
# the zip's tvkpack.exe is a console program, and tvkpack --version names the
# project's version and the shipped stub.
# Usage: release_contents.sh DIST VERSION BUILT_STUB
set -eu

dist=$1
version=$2
built_stub=$3
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
deb=$dist/tvkstub_${version}_$(dpkg --print-architecture).deb
zip=$dist/tvkstub-$version-windows.zip
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for file in "$deb" "$zip" "$dist/SHA256SUMS"; do
    [ -f "$file" ] || fail "$file is missing: run tools/release.sh first"
done
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not hold"

# The zip's files (its folder entries aside): the programs and every page.
unzip -Z1 "$zip" | grep -v '/$' | sort > "$work/zip.txt"
(cd "$source_dir" && { printf 'README.md\ntvkpack.exe\ntvkstub.exe\n' && ls docs/*.md; }) |
    sort | cmp -s - "$work/zip.txt" || fail "the zip holds: $(cat "$work/zip.txt")"
for page in README.md $(cd "$source_dir" && ls docs/*.md); do
    unzip -p "$zip" "$page" | cmp -s - "$source_dir/$page" ||
        fail "the zip's $page is not the sources'"
done
unzip -p "$zip" tvkstub.exe > "$work/zip-stub.exe"
cmp "$work/zip-stub.exe" "$built_stub" || fail "the zip's stub is not the build's"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/tvkstub/tvkstub.exe > "$work/deb-stub.exe"
cmp "$work/deb-stub.exe" "$built_stub" || fail "the Debian package's stub is not the build's"
cmp "$dist/tvkstub.exe" "$built_stub" || fail "dist/tvkstub.exe is not the build's stub"

unzip -p "$zip" tvkpack.exe > "$work/tvkpack.exe"
i686-w64-mingw32-objdump -p "$work/tvkpack.exe" |
    grep -Eq '^Subsystem[[:space:]]+00000003[[:space:]]+\(Windows CUI\)' ||
    fail "the zip's tvkpack.exe is not a Windows console program"

dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/tvkpack" --version > "$work/version.txt"
[ "$(sed -n 1p "$work/version.txt")" = "tvkpack $version" ] ||
    fail "tvkpack --version says: $(cat "$work/version.txt")"
sed -n 2p "$work/version.txt" | grep -q '^released with stub: ' ||
    fail "tvkpack --version names no stub: $(cat "$work/version.txt")"
if grep -q 'unknown' "$work/version.txt"; then
    fail "the released tvkpack does not know its stub: $(cat "$work/version.txt")"
fi
# The identity named is the build stub's, as tools/release.sh takes it.
if "$work/root/usr/bin/tvkpack" --help | grep -q 'stub-id'; then
    identity=$("$work/root/usr/bin/tvkpack" stub-id "$built_stub")
else
    identity="sha256 $(sha256sum "$built_stub" | cut -d' ' -f1)"
fi
grep -qxF "released with stub: $identity" "$work/version.txt" ||
    fail "tvkpack --version names another stub than $identity: $(cat "$work/version.txt")"
echo "dist/ holds the build's stub and version $version: OK"
