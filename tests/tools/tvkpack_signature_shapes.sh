#!/bin/sh
# Tagging on the signatures vendors really make. Each shape in the table below
# is signed by osslsigncode and timestamped (RFC 3161) by an authority this
# script runs on loopback, then tagged inside the signature, re-tagged with
# other parameters and untagged. Every file must verify strictly as it stands
# (each signature and each timestamp), inspect must accept the tagged files,
# and untag must give back the signed file byte for byte. A signature encoded
# with indefinite lengths (BER) must be refused inside, with a message that
# names the behind placement, and be tagged behind.
# The judge is osslsigncode. Windows' WinVerifyTrust under Wine is no judge
# for these shapes and is not used: it refuses ECDSA-signed files even
# untagged (0x80096004).
# Usage: tvkpack_signature_shapes.sh TVKPACK FIXTURE_FOLDER
set -eu

tvkpack=$1
fixtures=$2
work=$(mktemp -d)
tsa_pid=
shape=setup

cleanup() {
    if [ -n "$tsa_pid" ]; then
        kill "$tsa_pid" 2> /dev/null || true
        wait "$tsa_pid" 2> /dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
cd "$work"

fail() {
    echo "FAIL: $shape: $*" >&2
    exit 1
}

# Signature shapes: the kind of key, the digest, how many signatures are
# nested into the first, further signing options, and a text that the
# verification must show to prove the shape is what its name says ("-": none).
shapes='
timestamped    rsa    sha256  0  -    -
token          token  sha256  0  -    -
ecdsa_p256     ecdsa  sha256  0  -    ECDSA.Publisher
sha384         rsa    sha384  0  -    SHA384
sha512         rsa    sha512  0  -    SHA512
page_hashes    rsa    sha256  0  -ph  Calculated.page.hash
nested_three   rsa    sha256  2  -    -
'

# The first of the given files that exists.
first_file() {
    for candidate in "$@"; do
        if [ -f "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
}

# A timestamp authority on a free loopback port: its certificate may only
# stamp times, and each POSTed query is answered by `openssl ts -reply`.
start_timestamp_authority() {
    openssl req -x509 -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.pem -days 30 \
        -subj "/CN=TVK Test TSA" -addext "extendedKeyUsage=critical,timeStamping" 2> /dev/null ||
        fail "cannot make the timestamp authority's certificate"
    echo 01 > tsa.serial
    cat > tsa.cnf << 'EOF'
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = tsa.serial
signer_cert = tsa.pem
signer_key = tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
EOF
    cat > tsa.py << 'EOF'
import http.server, os, subprocess, sys, tempfile

class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory() as folder:
            query_file, reply_file = os.path.join(folder, "q"), os.path.join(folder, "r")
            with open(query_file, "wb") as f:
                f.write(query)
            made = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf",
                                   "-queryfile", query_file, "-out", reply_file],
                                  timeout=20).returncode == 0
            reply = open(reply_file, "rb").read() if made else b""
        self.send_response(200 if made else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
EOF
    # timeout ends the server should this script be killed before its trap runs.
    timeout 300 python3 tsa.py > tsa.port 2> tsa.log &
    tsa_pid=$!
    tries=0
    until [ -s tsa.port ]; do
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || fail "the timestamp authority did not start: $(cat tsa.log)"
        kill -0 "$tsa_pid" 2> /dev/null || fail "the timestamp authority ended: $(cat tsa.log)"
        sleep 0.1
    done
    tsa_url=http://127.0.0.1:$(cat tsa.port)
}

# An ECDSA P-256 certificate, and an RSA key that lives only in a SoftHSM2
# token of this script's own (its file is deleted once imported).
make_keys() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ecdsa.key \
        -out ecdsa.pem -days 30 -subj "/CN=TVK ECDSA Publisher" 2> /dev/null ||
        fail "cannot make the ECDSA certificate"
    pkcs11_engine=$(first_file \
        "$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so" \
        $(dpkg -L libengine-pkcs11-openssl 2> /dev/null | grep '/pkcs11\.so$'))
    pkcs11_module=$(first_file /usr/lib/softhsm/libsofthsm2.so \
        $(dpkg -L libsofthsm2 2> /dev/null | grep '/libsofthsm2\.so$'))
    [ -n "$pkcs11_engine" ] && [ -n "$pkcs11_module" ] ||
        fail "no PKCS#11 engine or SoftHSM2 module: install softhsm2 and" \
            "libengine-pkcs11-openssl (tools/install-deps.sh)"
    mkdir tokens
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
        "$work/tokens" > softhsm2.conf
    SOFTHSM2_CONF=$work/softhsm2.conf
    export SOFTHSM2_CONF
    openssl req -x509 -newkey rsa:2048 -nodes -keyout token.key -out token.pem -days 30 \
        -subj "/CN=TVK Token Publisher" 2> /dev/null &&
        openssl pkcs8 -topk8 -nocrypt -in token.key -out token8.key &&
        softhsm2-util --init-token --free --label vendor --pin 1234 --so-pin 5678 > token.log &&
        softhsm2-util --import token8.key --token vendor --label signkey --id 01 --pin 1234 \
            >> token.log || fail "cannot put the key into the token: $(cat token.log)"
    rm token.key token8.key
}

# osslsigncode sign with the key of the given kind, then the other options.
sign_with() {
    key=$1
    shift
    case $key in
    rsa) set -- -certs "$fixtures/cert.pem" -key "$fixtures/key.pem" "$@" ;;
    ecdsa) set -- -certs ecdsa.pem -key ecdsa.key "$@" ;;
    token)
        set -- -pkcs11engine "$pkcs11_engine" -pkcs11module "$pkcs11_module" -pass 1234 \
            -certs token.pem -key 'pkcs11:token=vendor;object=signkey;type=private' "$@"
        ;;
    esac
    timeout 60 osslsigncode sign -n "Demo setup" -ts "$tsa_url" "$@" < /dev/null
}

# The certificate that a signature made with the given kind of key chains to.
certificate_of() {
    case $1 in
    rsa) echo "$fixtures/cert.pem" ;;
    ecdsa) echo "$work/ecdsa.pem" ;;
    token) echo "$work/token.pem" ;;
    esac
}

# $shape/signed.exe: signed, timestamped, and with the nested signatures.
sign_shape() {
    key=$1 digest=$2 nested=$3 options=$4
    [ "$options" != - ] || options=
    # $options is split on purpose: it holds whole options.
    sign_with "$key" -h "$digest" $options -in unsigned.exe -out "$shape/signed0.exe" \
        > "$shape/sign.txt" 2>&1 || fail "signing failed: $(cat "$shape/sign.txt")"
    level=0
    while [ "$level" -lt "$nested" ]; do
        sign_with "$key" -nest -h "$digest" -in "$shape/signed$level.exe" \
            -out "$shape/signed$((level + 1)).exe" > "$shape/sign.txt" 2>&1 ||
            fail "nesting signature $((level + 2)) failed: $(cat "$shape/sign.txt")"
        level=$((level + 1))
    done
    mv "$shape/signed$level.exe" "$shape/signed.exe"
}

# The file as it stands passes osslsigncode's verification: every signature
# against the shape's certificate, and each one's timestamp against the
# authority's.
verify_strictly() {
    file=$1
    timeout 60 osslsigncode verify -CAfile "$certificate" -TSA-CAfile tsa.pem -in "$file" \
        < /dev/null > "$shape/verify.txt" 2>&1 ||
        fail "osslsigncode refuses $file: $(grep -iE 'fail|error|mismatch' "$shape/verify.txt")"
    grep -q "^Number of verified signatures: $signatures\$" "$shape/verify.txt" ||
        fail "$file: not $signatures verified signatures: $(tail -3 "$shape/verify.txt")"
    [ "$(grep -c '^Timestamp Server Signature verification: ok' "$shape/verify.txt")" \
        -eq "$signatures" ] || fail "$file: not every signature has a verified timestamp"
    [ "$proof" = - ] || grep -q "$proof" "$shape/verify.txt" ||
        fail "$file: the verification does not show '$proof'"
}

# tvkpack inspect accepts the package, strict verifiers would too, and it
# carries the given brand.
inspect_accepts() {
    file=$1 brand=$2
    "$tvkpack" inspect "$file" > "$shape/inspect.txt" 2>&1 ||
        fail "inspect refuses $file: $(cat "$shape/inspect.txt")"
    grep -q 'the stub would run it' "$shape/inspect.txt" &&
        grep -q 'strict verifiers *accept it as it stands' "$shape/inspect.txt" &&
        grep -q "\"brand\":\"$brand\"" "$shape/inspect.txt" ||
        fail "inspect of $file says: $(cat "$shape/inspect.txt")"
}

# tvkpack tag INPUT OUTPUT [options]: must succeed, with no warning (the
# blocks hold no archive marker, and the checksums are sound).
tag_file() {
    input=$1 output=$2
    shift 2
    "$tvkpack" tag "$input" -o "$output" "$@" > "$shape/tag.txt" 2>&1 ||
        fail "tag $input: $(cat "$shape/tag.txt")"
    ! grep -q 'warning' "$shape/tag.txt" || fail "tag $input: $(cat "$shape/tag.txt")"
}

# tvkpack untag gives back the signed file byte for byte.
untag_matches() {
    input=$1 signed=$2
    "$tvkpack" untag "$input" -o "$shape/untagged.exe" > "$shape/untag.txt" 2>&1 ||
        fail "untag $input: $(cat "$shape/untag.txt")"
    cmp "$signed" "$shape/untagged.exe" > /dev/null ||
        fail "untag of $input differs from $signed: $(cmp "$signed" "$shape/untagged.exe")"
}

# FILE's signature re-encoded with the indefinite length form on its three
# outer levels (ContentInfo, its [0] and SignedData), as streaming BER
# writers make it: still a valid signature, since a verifier decodes BER and
# Authenticode hashes neither the certificate table nor these wrappers. The
# record's length, its padding to 8 bytes, the security directory's size and
# the PE checksum are set to match.
reencode_as_ber() {
    python3 - "$1" "$2" << 'EOF'
import struct, sys

def header(der):
    """The tag, the content length and the header size of the element der starts with."""
    if der[1] < 0x80:
        return der[0], der[1], 2
    count = der[1] & 0x7F
    return der[0], int.from_bytes(der[2:2 + count], "big"), 2 + count

def indefinite(der, levels):
    tag, length, size = header(der)
    if levels == 0 or not tag & 0x20:
        return der
    contents, children = der[size:size + length], []
    while contents:
        _, child_length, child_size = header(contents)
        children.append(indefinite(contents[:child_size + child_length], levels - 1))
        contents = contents[child_size + child_length:]
    return bytes([tag, 0x80]) + b"".join(children) + b"\0\0"

pe = bytearray(open(sys.argv[1], "rb").read())
optional = struct.unpack_from("<I", pe, 0x3C)[0] + 24  # behind "PE\0\0" and the file header
pe32_plus = struct.unpack_from("<H", pe, optional)[0] == 0x20B
security = optional + (112 if pe32_plus else 96) + 4 * 8  # data directory entry 4
table = struct.unpack_from("<I", pe, security)[0]
record_length = struct.unpack_from("<I", pe, table)[0]
ber = indefinite(bytes(pe[table + 8:table + record_length]), 3)
assert ber[1] == 0x80
record = struct.pack("<IHH", 8 + len(ber), 0x0200, 2) + ber
record += bytes(-len(record) % 8)
pe[table:] = record
struct.pack_into("<I", pe, security + 4, len(record))
checksum_at = optional + 64
struct.pack_into("<I", pe, checksum_at, 0)
total = sum(struct.unpack_from("<%dH" % (len(pe) // 2), pe))
while total >> 16:
    total = (total & 0xFFFF) + (total >> 16)
struct.pack_into("<I", pe, checksum_at, total + len(pe))
open(sys.argv[2], "wb").write(pe)
EOF
}

start_timestamp_authority
make_keys
printf '{"product":"Demo","brand":"ACME"}' > params.json
printf '{"product":"Demo","brand":"Rebrand"}' > other.json
printf '\000\000\001\000icon-bytes' > icon.ico
printf 'BMpicture-bytes' > picture.bmp
"$tvkpack" embed "$fixtures/tiny_stub.exe" "$fixtures/tiny_installer.exe" -o unsigned.exe \
    > /dev/null || fail "embed failed"

# The table is read through descriptor 3, so that no command in the loop can
# read it from standard input.
while read -r shape key digest nested options proof <&3; do
    [ -n "$shape" ] || continue
    mkdir "$shape"
    certificate=$(certificate_of "$key")
    signatures=$((nested + 1))
    sign_shape "$key" "$digest" "$nested" "$options"
    verify_strictly "$shape/signed.exe"
    tag_file "$shape/signed.exe" "$shape/tagged.exe" --params params.json --icon icon.ico \
        --picture picture.bmp
    verify_strictly "$shape/tagged.exe"
    inspect_accepts "$shape/tagged.exe" ACME
    tag_file "$shape/tagged.exe" "$shape/retagged.exe" --params other.json
    verify_strictly "$shape/retagged.exe"
    inspect_accepts "$shape/retagged.exe" Rebrand
    untag_matches "$shape/retagged.exe" "$shape/signed.exe"
    verify_strictly "$shape/untagged.exe"
done 3<< EOF
$shapes
EOF

# A BER signature: osslsigncode accepts it, the inside placement refuses it
# (exit status 1, no output) and names the behind placement, which tags it.
shape=ber_signature certificate=$fixtures/cert.pem signatures=1 proof=-
mkdir "$shape"
sign_with rsa -in unsigned.exe -out "$shape/der.exe" > "$shape/sign.txt" 2>&1 ||
    fail "signing failed: $(cat "$shape/sign.txt")"
reencode_as_ber "$shape/der.exe" "$shape/signed.exe" || fail "cannot re-encode the signature"
verify_strictly "$shape/signed.exe"
status=0
"$tvkpack" tag "$shape/signed.exe" -o "$shape/inside.exe" --params params.json \
    > "$shape/tag.txt" 2>&1 || status=$?
[ "$status" -eq 1 ] && [ ! -e "$shape/inside.exe" ] ||
    fail "tag inside: status $status, $(cat "$shape/tag.txt")"
grep -q 'indefinite length.*--placement behind puts it behind the signature' "$shape/tag.txt" ||
    fail "tag inside says: $(cat "$shape/tag.txt")"
tag_file "$shape/signed.exe" "$shape/behind.exe" --params params.json --placement behind
"$tvkpack" inspect "$shape/behind.exe" > "$shape/inspect.txt" 2>&1 &&
    grep -q 'tag placement *behind the signature' "$shape/inspect.txt" ||
    fail "inspect of the tag behind says: $(cat "$shape/inspect.txt")"
untag_matches "$shape/behind.exe" "$shape/signed.exe"

echo "tvkpack signature shapes: OK"
