#!/bin/sh
# The vendor's workflow with the tvkpack command and a real signing tool:
# embed, sign with osslsigncode, tag, inspect, re-tag, untag. Untagging must
# give back the signed file byte for byte, which osslsigncode then verifies;
# bad input and failed writes must fail with a message and leave no file
# behind.
# Usage: tvkpack_roundtrip.sh TVKPACK FIXTURE_FOLDER
set -eu

tvkpack=$1
fixtures=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

printf '{"product":"Demo","brand":"ACME"}' > params.json
printf '{"product":"Other","brand":"Rebrand"}' > other.json
printf '\000\000\001\000icon-bytes' > icon.ico
printf 'BMpicture-bytes' > picture.bmp

"$tvkpack" embed "$fixtures/tiny_stub.exe" "$fixtures/tiny_installer.exe" -o unsigned.exe
osslsigncode sign -certs "$fixtures/cert.pem" -key "$fixtures/key.pem" -n "Demo setup" \
    -in unsigned.exe -out signed.exe > /dev/null
"$tvkpack" tag signed.exe -o setup.exe --params params.json --icon icon.ico \
    --picture picture.bmp
"$tvkpack" inspect setup.exe > inspect.txt || fail "inspect rejects the tagged package"
grep -q 'the stub would run it' inspect.txt || fail "inspect says: $(cat inspect.txt)"
grep -q '"product":"Demo"' inspect.txt || fail "inspect does not show the parameters"
"$tvkpack" inspect setup.exe --json > inspect.json
grep -q '"stub_would_run": true' inspect.json || fail "inspect --json: $(cat inspect.json)"
# The package carries the stub it was made of: the same identity.
identity=$("$tvkpack" stub-id "$fixtures/tiny_stub.exe")
grep -q "stub identity  *$identity\$" inspect.txt || fail "inspect shows another stub identity"
grep -q "\"stub_identity\": \"$identity\"" inspect.json || fail "inspect --json: another identity"

# Tagged inside the signature (the default), the package verifies as it
# stands; inspect says strict verifiers accept it.
osslsigncode verify -CAfile "$fixtures/cert.pem" -in setup.exe > verify.txt 2>&1 ||
    fail "osslsigncode refuses the tagged package: $(cat verify.txt)"
grep -q 'strict verifiers *accept it as it stands' inspect.txt ||
    fail "inspect does not say strict verifiers accept it: $(cat inspect.txt)"

# Tagged behind the signature, it does not verify as it stands, and untag
# gives back the signed file from that placement too.
"$tvkpack" tag signed.exe -o behind.exe --params params.json --placement behind
if osslsigncode verify -CAfile "$fixtures/cert.pem" -in behind.exe > /dev/null 2>&1; then
    fail "osslsigncode verified a package tagged behind the signature"
fi
"$tvkpack" inspect behind.exe | grep -q 'strict verifiers *refuse it' ||
    fail "inspect does not warn about the tag behind the signature"
"$tvkpack" untag behind.exe -o untagged_behind.exe
cmp signed.exe untagged_behind.exe || fail "untag from behind differs from the signed file"

# Signatures that carry unauthenticated attributes of their own: a nested
# second signature (SHA-1 + SHA-256), and a signer's unauthenticated blob.
# Both signatures still verify once tagged, and untag restores each file.
osslsigncode sign -h sha1 -certs "$fixtures/cert.pem" -key "$fixtures/key.pem" -n "Demo setup" \
    -in unsigned.exe -out dual_sha1.exe > /dev/null
osslsigncode sign -nest -h sha256 -certs "$fixtures/cert.pem" -key "$fixtures/key.pem" \
    -n "Demo setup" -in dual_sha1.exe -out dual.exe > /dev/null
osslsigncode add -addUnauthenticatedBlob -in signed.exe -out blob.exe > /dev/null
for pair in dual:2 blob:1; do
    name=${pair%:*}
    count=${pair#*:}
    "$tvkpack" tag "$name.exe" -o "tagged_$name.exe" --params params.json --icon icon.ico \
        > /dev/null
    osslsigncode verify -CAfile "$fixtures/cert.pem" -in "tagged_$name.exe" > verify.txt 2>&1 ||
        fail "osslsigncode refuses tagged $name.exe: $(cat verify.txt)"
    grep -q "Number of verified signatures: $count" verify.txt ||
        fail "tagged $name.exe: $(cat verify.txt)"
    "$tvkpack" untag "tagged_$name.exe" -o "untagged_$name.exe" > /dev/null
    cmp "$name.exe" "untagged_$name.exe" || fail "untag of tagged $name.exe differs"
done

"$tvkpack" untag setup.exe -o untagged.exe
cmp signed.exe untagged.exe || fail "untag did not give back the signed file"
osslsigncode verify -CAfile "$fixtures/cert.pem" -in untagged.exe > /dev/null ||
    fail "osslsigncode rejects the untagged file"

# Re-branding the signed build: no new signature needed.
"$tvkpack" tag setup.exe -o rebranded.exe --params other.json
"$tvkpack" inspect rebranded.exe | grep -q '"brand":"Rebrand"' || fail "re-tag lost"
"$tvkpack" untag rebranded.exe -o untagged2.exe
cmp signed.exe untagged2.exe || fail "untag after re-tag differs from the signed file"

# Bad input: a message, a non-zero status and no output.
expect_failure() {
    expected_status=$1
    shift
    status=0
    "$tvkpack" "$@" > out.txt 2> err.txt || status=$?
    [ "$status" -eq "$expected_status" ] || fail "tvkpack $*: status $status"
    [ -s err.txt ] || fail "tvkpack $*: no message"
    [ ! -e bad.exe ] || fail "tvkpack $*: left bad.exe"
}
expect_failure 1 embed "$fixtures/tiny_stub.exe" params.json -o bad.exe
expect_failure 1 embed signed.exe "$fixtures/tiny_installer.exe" -o bad.exe
expect_failure 1 tag unsigned.exe -o bad.exe --params params.json
expect_failure 1 tag signed.exe -o bad.exe --params missing.json
expect_failure 2 tag signed.exe -o bad.exe --params params.json --icon icon.ico --version 1
expect_failure 1 untag signed.exe -o bad.exe
status=0
"$tvkpack" inspect signed.exe > out.txt || status=$?
[ "$status" -eq 1 ] || fail "inspect of an untagged file: status $status"
grep -q 'the stub would fail (parameters): Not a TVK package' out.txt ||
    fail "inspect of an untagged file says: $(cat out.txt)"
expect_failure 2 frobnicate

# A write that fails inside the tool (here under a file size limit, its
# signal ignored) leaves no temporary file.
status=0
(trap '' XFSZ; ulimit -f 8; "$tvkpack" embed "$fixtures/tiny_stub.exe" \
    "$fixtures/tiny_installer.exe" -o bad.exe) > out.txt 2> err.txt || status=$?
[ "$status" -eq 1 ] || fail "embed under a file size limit: status $status"
[ ! -e bad.exe ] || fail "embed under a file size limit left bad.exe"

# Checking a package copies no installer into the temporary folder: without
# one, a version-1 package is tagged and inspected all the same. A version-2
# package's picture and icon pass through tvkpack's own scratch folder, and
# when that fails the message says so.
TMPDIR=$work/none "$tvkpack" tag signed.exe -o notemp.exe --params params.json > /dev/null ||
    fail "tag needs a temporary folder for a version-1 package"
TMPDIR=$work/none "$tvkpack" inspect notemp.exe > /dev/null ||
    fail "inspect needs a temporary folder for a version-1 package"
{ printf 'BM'; head -c 3000 /dev/zero; } > big.bmp
"$tvkpack" tag signed.exe -o big.exe --params params.json --picture big.bmp > /dev/null
status=0
(trap '' XFSZ; ulimit -f 1; "$tvkpack" inspect big.exe) > out.txt 2> err.txt || status=$?
[ "$status" -eq 1 ] || fail "inspect with a full scratch space: status $status"
grep -q "tvkpack's own temporary space failed, not the package" err.txt ||
    fail "inspect with a full scratch space says: $(cat out.txt err.txt)"
ls | grep -q 'tvkpack-' && fail "a temporary file was left: $(ls)"
echo "tvkpack round trip: OK"
