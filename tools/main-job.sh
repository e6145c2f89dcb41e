#!/usr/bin/env bash
# The main job: builds the stub and a test installer, packs a sample
# version-2 package (embed, sign with a throwaway certificate, tag with a
# parameters JSON, an icon and a picture), runs the PE32 package under 32-bit
# Wine and prints what the installer received: its command line and the
# files it was handed.
#
# 32-bit Wine needs a kernel that executes 32-bit programs: where this
# machine's cannot, the run goes through tools/run32 into a virtual machine
# (software emulation: a few minutes more, and the first time a few minutes
# for its Wine prefix).
#   tools/main-job.sh
#   tools/main-job.sh --run-package FOLDER    (the run itself; see below)
set -euo pipefail
cd "$(dirname "$0")/.."

prefix=build/win32/wineprefix

# The package FOLDER/"Sample Setup.exe" under Wine, and what its installer
# received; runs where 32-bit Wine runs (the Wine prefix may then be the
# virtual machine's, which ends with it).
RunPackage() {
    local out=$1
    local temp_dir="$prefix/drive_c/users/$(id -un)/Temp"
    build/win32/wine-server start
    rm -f "$temp_dir"/*.cmdline "$temp_dir"/InstallerParams_* "$temp_dir"/picture_* \
        "$temp_dir"/ico_*
    local status=0
    build/win32/wine-run "$out/Sample Setup.exe" /S --user-option "a b" || status=$?
    build/win32/wine-server stop
    echo "stub exit status: $status"

    local record
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
    cmp -s "$out/sample.bmp" "$temp_dir"/picture_* &&
        echo "picture: identical to the tagged picture"
    exit "$status"
}

if [ "${1:-}" = "--run-package" ]; then
    RunPackage "$2"
fi

tools/install-deps.sh

out=$PWD/build/main-job
rm -rf "$out"
mkdir -p "$out"

build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" --target "${@:2}" >/dev/null
}

echo "== Building the stub (win32) and the packaging command (native)"
build win32 tvkstub test_installer wine_keep_alive
build native tvkpack
tvkpack=build/native/tools/tvkpack
stub=build/win32/tvkstub.exe
installer=build/win32/tests/test_installer.exe
echo "stub: $stub, $(stat -c %s "$stub") bytes, $(file -b "$stub" | cut -d, -f1)"

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
echo "the build's stub identity: $(cat build/win32/tvkstub.exe.stub-id) (build/win32/tvkstub.exe.stub-id)"
echo "== The tagged package's signature, checked as it stands"
osslsigncode verify -CAfile "$out/cert.pem" -in "$out/Sample Setup.exe" |
    grep -E "Number of verified signatures|Succeeded|Failed"

echo "== Running the PE32 package under 32-bit Wine"
exec tools/run32/run32.sh --in-memory build/win32 --in-memory "$out" --wine-prefix "$prefix" \
    -- tools/main-job.sh --run-package "$out"
