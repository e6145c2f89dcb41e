#!/usr/bin/env bash
# The main job: builds the stub and a test installer, packs a sample
# version-2 package (embed, sign with a throwaway certificate, tag with a
# parameters JSON, an icon and a picture), runs it under Wine and prints what
# the installer received: its command line and the files it was handed.
#
# Where 32-bit programs cannot run (so 32-bit Wine cannot start), the package
# still carries the real 32-bit stub, and its whole run is done inside a
# 64-bit program of the same sources (run_package) under 64-bit Wine, with a
# 64-bit test installer inside.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

out=$PWD/build/main-job
rm -rf "$out"
mkdir -p "$out"

build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" --target "${@:2}" >/dev/null
}

echo "== Building the stub (win32) and the packaging command (native)"
build win32 tvkstub test_installer
build native tvkpack
tvkpack=build/native/tools/tvkpack
stub=build/win32/tvkstub.exe
echo "stub: $stub, $(stat -c %s "$stub") bytes"

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    preset=win32
    installer=build/win32/tests/test_installer.exe
    runner=()
else
    echo "This machine cannot execute 32-bit programs: the package's run is done inside"
    echo "run_package, a 64-bit program of the same sources, under 64-bit Wine."
    preset=win64
    build win64 test_installer run_package
    installer=build/win64/tests/test_installer.exe
    runner=(build/win64/tools/run_package.exe)
fi

echo "== Packing a sample package"
convert -size 32x32 xc:'#1e90ff' "$out/sample.ico"
convert -size 96x64 xc:orange "BMP3:$out/sample.bmp"
"$tvkpack" embed "$stub" "$installer" -o "$out/unsigned.exe"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$out/key.pem" -out "$out/cert.pem" \
    -days 30 -subj "/CN=Sample Publisher" 2>/dev/null
osslsigncode sign -certs "$out/cert.pem" -key "$out/key.pem" -n "Sample Setup" \
    -in "$out/unsigned.exe" -out "$out/signed.exe" >/dev/null
"$tvkpack" tag "$out/signed.exe" -o "$out/Sample Setup.exe" --params tools/sample/params.json \
    --icon "$out/sample.ico" --picture "$out/sample.bmp"
"$tvkpack" inspect "$out/Sample Setup.exe"
echo "== The tagged package's signature, checked as it stands"
osslsigncode verify -CAfile "$out/cert.pem" -in "$out/Sample Setup.exe" |
    grep -E "Number of verified signatures|Succeeded|Failed"

echo "== Running it under Wine"
prefix=build/$preset/wineprefix
temp_dir="$prefix/drive_c/users/$(id -un)/Temp"
"build/$preset/wine-server" start
rm -f "$temp_dir"/*.cmdline "$temp_dir"/InstallerParams_* "$temp_dir"/picture_* "$temp_dir"/ico_*
status=0
if [ ${#runner[@]} -eq 0 ]; then
    "build/$preset/wine-run" "$out/Sample Setup.exe" /S --user-option "a b" || status=$?
else
    "build/$preset/wine-run" "${runner[@]}" "$out/Sample Setup.exe" '/S --user-option "a b"' ||
        status=$?
fi
"build/$preset/wine-server" stop
echo "stub exit status: $status"

record=$(ls -t "$temp_dir"/*.cmdline 2>/dev/null | head -1)
if [ -z "$record" ]; then
    echo "the installer did not run"
    exit 1
fi
echo "== The installer received this command line:"
iconv -f UTF-16LE -t UTF-8 "$record"
echo
echo "== Files handed over (in Wine's temporary directory):"
for file in "$temp_dir"/InstallerParams_* "$temp_dir"/picture_* "$temp_dir"/ico_*; do
    echo "$(basename "$file"): $(stat -c %s "$file") bytes"
done
echo "== Parameters file:"
cat "$temp_dir"/InstallerParams_*
echo
cmp -s "$out/sample.ico" "$temp_dir"/ico_* && echo "icon: identical to the tagged icon"
cmp -s "$out/sample.bmp" "$temp_dir"/picture_* && echo "picture: identical to the tagged picture"
exit "$status"
