#!/bin/bash
# A download from the edge for the shipped stub to run: the verifying
# installer behind the PE32 stub, signed with a throwaway certificate, its
# manifest, body and brand images on nginx (the origin), and the edge worker
# on workerd checking a signed link and signing the tag with the key whose
# public half the installer holds. Writes OUT/edge-setup.exe (the edge's
# download of a signed link) and OUT/edge-setup.params (the parameters the
# installer must find in it); vendor_chain.sh runs it with the stub under
# 32-bit Wine. Also checks that the origin was asked for the package's
# body on its one untagged URL only.
#
# usage: edge_download.sh NATIVE_BUILD WIN32_BUILD OUT   (from any folder)
# It runs on this machine (workerd and nginx need no 32-bit kernel), after
# `npm ci` in edge/ and a wasm build.
set -u
native=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
mkdir -p "$3" && out=$(cd "$3" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
tvkpack=$native/tools/tvkpack
tvkserve=$native/tools/tvkserve

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cd "$source_dir" || fail "no source folder"
. tools/edge-local.sh
work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
    edge_local_stop
    rm -rf "$work"
}
trap cleanup EXIT
www=$work/www
mkdir "$www"
rm -f "$out/edge-setup.exe" "$out/edge-setup.params"

"$tvkpack" embed "$windows/tvkstub.exe" "$windows/verify/verify_installer.exe" \
    -o "$work/unsigned.exe" >/dev/null || fail "tvkpack embed failed"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/cert-key.pem" -out "$work/cert.pem" \
    -days 1 -subj "/CN=Edge Chain Publisher" 2>/dev/null || fail "openssl could not make a certificate"
osslsigncode sign -certs "$work/cert.pem" -key "$work/cert-key.pem" -n "Edge chain" \
    -in "$work/unsigned.exe" -out "$www/setup.exe" >/dev/null || fail "osslsigncode sign failed"
"$tvkpack" manifest "$www/setup.exe" -o "$www/setup.manifest.json" >/dev/null ||
    fail "tvkpack manifest failed"
convert -size 32x32 xc:'#2e8b57' "$www/brand.ico" && convert -size 96x64 xc:teal BMP3:"$www/brand.bmp" ||
    fail "ImageMagick could not make the icon and the picture"
openssl rand 32 | basenc --base64url | tr -d '=\n' >"$work/k1.key"

edge_local_origin "$work" "$www" || fail "nginx did not start"
config=$(
    cat <<JSON
{"packages": {"setup": {"manifest": "$origin/setup.manifest.json", "body": "$origin/setup.exe",
                        "download_name": "Setup.exe"}},
 "brands": {"acme": {"params": {"product": "Edge chain"}, "icon": "$origin/brand.ico",
                     "picture": "$origin/brand.bmp"}},
 "query": {"ref": {"max_length": 16, "pattern": "[a-z0-9-]*"}},
 "links": {"required": true, "keys": {"k1": {"secret": "LINK_KEY_K1"}}},
 "tag_signing": {"secret": "TAG_SIGNING_KEY"}}
JSON
)
edge_local_worker "$work" "$config" "LINK_KEY_K1=$(cat "$work/k1.key")" \
    "TAG_SIGNING_KEY=$(cat "$windows/verify/verify_installer_key.pem")" || fail "workerd did not start"

link=$("$tvkserve" sign-url --key-file "$work/k1.key" --key k1 --expires-in 600 \
    "$edge/download/setup?brand=acme&ref=edge-7") || fail "tvkserve sign-url failed"
status=$(curl -s -o "$out/edge-setup.exe" -w '%{http_code}' "$link")
[ "$status" = 200 ] || fail "the edge answered the signed link with $status: $(head -c 300 "$out/edge-setup.exe")"
status=$(curl -s -o /dev/null -w '%{http_code}' "$edge/download/setup?brand=acme&ref=edge-7")
[ "$status" = 403 ] || fail "the edge answered an unsigned link with $status, not 403"
printf '{"product":"Edge chain","ref":"edge-7"}\n' >"$out/edge-setup.params"

bodies=$(grep -v -e '^GET /setup\.manifest\.json ' -e '^GET /brand\.\(ico\|bmp\) ' "$work/access.log")
[ -n "$bodies" ] || fail "the origin's log shows no body request"
if grep -v '^GET /setup\.exe ' <<<"$bodies" >&2; then
    fail "the origin was asked for more than the package's body URL (above)"
fi
echo "edge download: $(stat -c %s "$out/edge-setup.exe") bytes, the body from the origin's one untagged URL"
