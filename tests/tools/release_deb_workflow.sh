#!/bin/sh
# The Debian package as a vendor installs it: unpacked into a fresh root with
# dpkg-deb -x, it holds the README and every page of docs/, and its own
# tvkpack and stub run the documented workflow (embed, sign with osslsigncode,
# tag, inspect) with nothing else from the build.
# Usage: release_deb_workflow.sh DIST VERSION INSTALLER
set -eu

dist=$1
version=$2
installer=$(realpath "$3")
deb=$dist/tvkstub_${version}_$(dpkg --print-architecture).deb
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ -f "$deb" ] || fail "$deb is missing: run tools/release.sh first"
dpkg-deb -c "$deb" > "$work/contents.txt"
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
pages=$(cd "$source_dir" && ls docs/*.md | sed 's|^|./usr/share/doc/tvkstub/|')
for file in ./usr/bin/tvkpack ./usr/share/tvkstub/tvkstub.exe ./usr/share/doc/tvkstub/README.md \
    $pages; do
    grep -q " $file\$" "$work/contents.txt" || fail "the package lacks $file"
done
# Its dependencies come from dpkg-shlibdeps: tvkpack needs the C++ runtime.
dpkg-deb -f "$deb" Depends | grep -q 'libstdc++6' ||
    fail "no computed dependencies: $(dpkg-deb -f "$deb" Depends)"

dpkg-deb -x "$deb" "$work/root"
tvkpack=$work/root/usr/bin/tvkpack
stub=$work/root/usr/share/tvkstub/tvkstub.exe
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 1 \
    -subj "/CN=Release Check" 2>/dev/null
printf '{"product":"Release check"}' > params.json
printf 'BMpicture' > banner.bmp

"$tvkpack" embed "$stub" "$installer" -o setup-unsigned.exe
osslsigncode sign -certs cert.pem -key key.pem -n "Release check" \
    -in setup-unsigned.exe -out setup-signed.exe > /dev/null
"$tvkpack" tag setup-signed.exe -o setup.exe --params params.json --picture banner.bmp
"$tvkpack" inspect setup.exe > inspect.txt || fail "inspect: $(cat inspect.txt)"
grep -q 'the stub would run it' inspect.txt || fail "inspect says: $(cat inspect.txt)"
grep -q '"product":"Release check"' inspect.txt || fail "inspect lacks the parameters"
"$tvkpack" inspect setup.exe --json | grep -q '"stub_would_run": true' || fail "inspect --json"
"$tvkpack" untag setup.exe -o setup-check.exe
osslsigncode verify -CAfile cert.pem -in setup-check.exe > /dev/null ||
    fail "osslsigncode rejects the untagged package"
echo "the installed package runs the vendor workflow: OK"
