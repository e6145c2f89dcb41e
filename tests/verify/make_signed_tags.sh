#!/bin/sh
# Makes signed tags for the verifier's Windows tests in FOLDER, with the
# openssl command line, as a vendor's signing side makes them:
#   vendor.der              the public key of VENDOR_KEY (the example
#                           installer's key), DER SubjectPublicKeyInfo
#   other.der, small.der    another 2048-bit key's and a 1024-bit key's
#   icon.ico, picture.bmp   an icon and a picture (any bytes: the verifier
#                           hashes them; the picture spans several reads)
#   unsigned.json           the parameters: a JSON object and a line feed
#   signed.json             signed with the icon and the picture
#   signed_bare.json        signed without icon and picture
#   signed_small.json       signed with both by the 1024-bit key
# Beside each signed file, NAME.message holds the bytes signed and NAME.sig
# the signature; openssl checks one as a vendor would by hand.
# Usage: make_signed_tags.sh FOLDER VENDOR_KEY
set -eu

folder=$1
vendor_key=$2

mkdir -p "$folder"
cd "$folder"

openssl pkey -in "$vendor_key" -pubout -out vendor_pub.pem
openssl pkey -in "$vendor_key" -pubout -outform DER -out vendor.der
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out other.pem 2>/dev/null
openssl pkey -in other.pem -pubout -outform DER -out other.der
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out small.pem 2>/dev/null
openssl pkey -in small.pem -pubout -outform DER -out small.der
openssl rand -out icon.ico 1150
openssl rand -out picture.bmp 150000

# The object up to its closing brace, and the brace with what follows it.
printf '{"product":"Demo","user":"J\303\274rgen","note":"tvk_sig"' >body.part
printf '}\n' >tail.part
cat body.part tail.part >unsigned.json

hex() {
    openssl dgst -sha256 -r "$1" | cut -d ' ' -f 1
}

# sign KEY ICON_HASH PICTURE_HASH OUTPUT: the message, its signature, and
# the parameters with the member inserted before the closing brace.
sign() {
    { printf 'tvk-tag-v1\n'; cat unsigned.json; printf '\n%s\n%s' "$2" "$3"; } >"$4.message"
    openssl dgst -sha256 -sign "$1" -out "$4.sig" "$4.message"
    signature=$(openssl base64 -A -in "$4.sig" | tr '+/' '-_' | tr -d '=')
    { cat body.part; printf ',"tvk_sig":"%s"' "$signature"; cat tail.part; } >"$4"
}

sign "$vendor_key" "$(hex icon.ico)" "$(hex picture.bmp)" signed.json
sign "$vendor_key" - - signed_bare.json
sign small.pem "$(hex icon.ico)" "$(hex picture.bmp)" signed_small.json
openssl dgst -sha256 -verify vendor_pub.pem -signature signed.json.sig signed.json.message \
    >/dev/null
