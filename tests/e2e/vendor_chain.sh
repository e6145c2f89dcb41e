#!/bin/bash
# The whole chain a vendor builds for downloads an installer can trust, with
# the stub as it ships: a link minted by the documented Python snippet, the
# download server with signed links and signed tags, the download run by the
# PE32 stub under 32-bit Wine, and an installer built with the verifier
# (verify_installer.exe) that says what it found. Also: a link with a value
# changed and an expired link are refused (403), an expired link gets the
# plain brand where a fallback brand is configured, a download re-tagged
# without the key is "unsigned", and one byte of the picture or of a
# parameter changed makes it "invalid". With a folder made by
# edge_download.sh, the stub also runs the edge's download of a signed link
# and the installer finds the tag the edge signed.
#
# usage: vendor_chain.sh NATIVE_BUILD WIN32_BUILD [EDGE_DOWNLOAD_FOLDER]
#        (e.g. build/native build/win32 build/win32/edge-download)
# Run it where 32-bit programs execute (tools/run32).
set -u
native=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
edge_download=
if [ $# -ge 3 ]; then
    edge_download=$(cd "$3" && pwd) || exit 1
fi
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
scale=${TVK_TIME_SCALE:-1}
wine_run=$windows/wine-run
tvkpack=$native/tools/tvkpack
tvkserve=$native/tools/tvkserve

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

work=$(mktemp -d)
servers=()
cleanup() {
    for pid in "${servers[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    "$windows/wine-server" stop
    rm -rf "$work"
}
trap cleanup EXIT
# One Wine server for the stub's runs.
"$windows/wine-server" start
cd "$work" || fail "no work folder"

# The vendor's release: the verifying installer behind the shipped stub,
# signed with a throwaway certificate.
"$tvkpack" embed "$windows/tvkstub.exe" "$windows/verify/verify_installer.exe" \
    -o unsigned.exe >/dev/null || fail "tvkpack embed failed"
openssl req -x509 -newkey rsa:2048 -nodes -keyout cert-key.pem -out cert.pem -days 1 \
    -subj "/CN=Vendor Chain Publisher" 2>/dev/null || fail "openssl could not make a certificate"
osslsigncode sign -certs cert.pem -key cert-key.pem -n "Vendor chain" -in unsigned.exe \
    -out signed.exe >/dev/null || fail "osslsigncode sign failed"
convert -size 32x32 xc:'#1e90ff' brand.ico && convert -size 96x64 xc:orange BMP3:brand.bmp ||
    fail "ImageMagick could not make the icon and the picture"
openssl rand 32 | basenc --base64url | tr -d '=\n' >k1.key
# The documentation's own snippet mints the links.
python3 - "$source_dir/docs/trust.md" >sign_link.py <<'PYTHON'
import re, sys
for block in re.findall(r"```python\n(.*?)```", open(sys.argv[1]).read(), re.S):
    if "def sign_link" in block:
        sys.stdout.write(block)
PYTHON
grep -q 'def sign_link' sign_link.py || fail "docs/trust.md has no Python link snippet"

config() {  # config FILE [FALLBACK]
    cat >"$1" <<EOF
{"listen": "127.0.0.1:0", "threads": 1,
 "packages": {"setup": {"file": "signed.exe", "download_name": "Setup.exe"}},
 "brands": {"acme": {"params": {"product": "Vendor chain"}, "icon": "brand.ico",
                     "picture": "brand.bmp"},
            "plain": {"params": {"product": "Plain"}}},
 "query": {"ref": {"max_length": 16, "pattern": "[a-z0-9-]*"}},
 "links": {"keys": {"k1": {"file": "k1.key"}}${2:+, \"fallback_brand\": \"$2\"}},
 "tag_signing": {"key": "$windows/verify/verify_installer_key.pem"}}
EOF
}

start_server() {  # start_server CONFIG; sets port
    "$tvkserve" --config "$1" >"$1.log" 2>"$1.err" &
    servers+=($!)
    port=
    for _ in $(seq $((300 * scale))); do
        port=$(sed -n 's/^tvkserve: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$1.err")
        [ -n "$port" ] && return
        sleep 0.1
    done
    cat "$1.err" >&2
    fail "tvkserve did not start with $1"
}

fetch() {  # fetch URL FILE: prints the status
    curl -s -o "$2" -w '%{http_code}' "$1"
}

# Runs a package with the stub and prints the installer's first line.
run_stub() {  # run_stub PACKAGE
    rm -f result.txt
    (timeout $((180 * scale)) "$wine_run" "$1" /S --result-file=result.txt) >run.log 2>&1
    [ -f result.txt ] || { cat run.log >&2; fail "the installer wrote no result for $1"; }
    head -n 1 result.txt
}

expect() {  # expect WHAT ACTUAL EXPECTED
    [ "$2" = "$3" ] || fail "$1: '$2', not '$3'"
    echo "$1: $2"
}

config serve.json
start_server serve.json
url="http://127.0.0.1:$port/download/setup?brand=acme&ref=spring-7"
link=$(python3 sign_link.py k1.key k1 "$url") || fail "the documented snippet failed"

expect "a signed link" "$(fetch "$link" setup.exe)" 200
expect "the stub runs it; the installer checks the tag" "$(run_stub setup.exe)" valid
grep -q '^{"product":"Vendor chain","ref":"spring-7"}$' result.txt ||
    fail "the installer's parameters: $(tail -n +2 result.txt)"

expect "a value of the link changed" "$(fetch "${link/spring-7/spring-8}" changed.exe)" 403
expired=$("$tvkserve" sign-url --key-file k1.key --key k1 --expires $(($(date +%s) - 5)) "$url")
expect "an expired link" "$(fetch "$expired" expired.exe)" 403
grep -q 'not valid: expired' expired.exe || fail "the refusal says: $(cat expired.exe)"

config fallback.json plain
start_server fallback.json
expect "an expired link with a fallback brand" \
    "$(fetch "http://127.0.0.1:$port/download${expired#*/download}" plain.exe)" 200
expect "the plain brand's download" "$(run_stub plain.exe)" valid
grep -q '^{"product":"Plain"}$' result.txt || fail "the plain brand's parameters differ"

# Anyone can re-tag a signed package without the key.
printf '{"product":"Vendor chain","ref":"spring-7"}' >unsigned-params.json
"$tvkpack" tag setup.exe -o retagged.exe --params unsigned-params.json --icon brand.ico \
    --picture brand.bmp >/dev/null || fail "tvkpack tag failed"
expect "re-tagged without the key" "$(run_stub retagged.exe)" unsigned

# The signed parameters kept, but one byte of the picture changed; and a
# parameter changed under the signature.
"$tvkpack" inspect setup.exe --json |
    python3 -c 'import json, sys; sys.stdout.write(json.load(sys.stdin)["parameters"])' \
        >signed-params.json || fail "inspect shows no parameters"
cp brand.bmp changed.bmp
printf 'X' | dd of=changed.bmp bs=1 seek=100 conv=notrunc 2>/dev/null
"$tvkpack" tag setup.exe -o picture-changed.exe --params signed-params.json --icon brand.ico \
    --picture changed.bmp >/dev/null || fail "tvkpack tag failed"
expect "one byte of the picture changed" "$(run_stub picture-changed.exe)" "invalid: signature"
sed 's/spring-7/spring-8/' signed-params.json >changed-params.json
"$tvkpack" tag setup.exe -o params-changed.exe --params changed-params.json --icon brand.ico \
    --picture brand.bmp >/dev/null || fail "tvkpack tag failed"
expect "a parameter changed" "$(run_stub params-changed.exe)" "invalid: signature"

if [ -n "$edge_download" ]; then
    expect "the edge's download of a signed link" "$(run_stub "$edge_download/edge-setup.exe")" valid
    [ "$(tail -n +2 result.txt)" = "$(cat "$edge_download/edge-setup.params")" ] ||
        fail "the edge download's parameters: $(tail -n +2 result.txt)"
fi
echo "vendor chain: signed link -> signed tag -> the PE32 stub -> the installer's check: as expected"
