#!/bin/sh
# The identity that the build wrote beside the stub is the one tvkpack shows
# for a package made of that stub: embedded, signed by osslsigncode with a
# throwaway certificate, and tagged.
# usage: check_stub_identity.sh TVKPACK STUB.exe IDENTITY_FILE INSTALLER.exe
set -eu
tvkpack=$1
stub=$2
identity_file=$3
installer=$4
fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

built=$(cat "$identity_file")
"$tvkpack" embed "$stub" "$installer" -o "$work/unsigned.exe" >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 1 -subj "/CN=Identity Check" 2>/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Identity check" \
    -in "$work/unsigned.exe" -out "$work/signed.exe" >/dev/null
printf '{"check":"identity"}' >"$work/params.json"
"$tvkpack" tag "$work/signed.exe" -o "$work/setup.exe" --params "$work/params.json" >/dev/null
shown=$("$tvkpack" inspect "$work/setup.exe" | sed -n 's/^  stub identity  *//p')
[ -n "$shown" ] || fail "tvkpack inspect shows no stub identity"
[ "$shown" = "$built" ] ||
    fail "the package's stub identity $shown is not the build's $built ($identity_file)"
echo "stub identity: $built, the same in the build's file and in a signed, tagged package"
