#!/bin/sh
# The Debian package's download server as an administrator meets it: the
# package holds tvkserve, its systemd unit and the sample configuration; the
# computed Depends names the package of every shared library that tvkpack and
# tvkserve load; the unit passes `systemd-analyze verify` with nothing to say
# and the offline security review with an exposure of 2.0 at most; and
# tvkserve, unpacked with dpkg-deb -x and started with the sample
# configuration on free loopback ports, serves downloads equal to the
# package's own `tvkpack tag` output, counts them on its metrics address and
# says it is healthy there, then ends with 0 on SIGTERM (what `systemctl
# stop` sends).
# Usage: release_deb_server.sh DIST VERSION INSTALLER
set -eu

dist=$1
version=$2
installer=$(realpath "$3")
deb=$dist/tvkstub_${version}_$(dpkg --print-architecture).deb
work=$(mktemp -d)
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill -KILL "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ -f "$deb" ] || fail "$deb is missing: run tools/release.sh first"
dpkg-deb -c "$deb" > "$work/contents.txt"
for file in ./usr/bin/tvkserve ./usr/lib/systemd/system/tvkserve.service \
    ./usr/share/doc/tvkstub/examples/serve.json ./usr/share/doc/tvkstub/examples/serve.json.md; do
    grep -q " $file\$" "$work/contents.txt" || fail "the package lacks $file"
done
root=$work/root
dpkg-deb -x "$deb" "$root"

# Every library the programs name (NEEDED) belongs to a package that Depends
# names. dpkg knows a file under the name its package gave it, with or
# without /usr on a merged-/usr system.
owner() {
    for candidate in "$1" "/usr$1" "${1#/usr}"; do
        package=$(dpkg-query -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1)
        if [ -n "$package" ]; then
            echo "$package"
            return
        fi
    done
}
dpkg-deb -f "$deb" Depends | tr ',|' '\n' | sed 's/(.*//; s/[[:space:]]//g' > "$work/depends.txt"
for program in "$root/usr/bin/tvkpack" "$root/usr/bin/tvkserve"; do
    ldd "$program" > "$work/ldd.txt"
    for library in $(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }'); do
        path=$(awk -v lib="$library" '$1 == lib && $2 == "=>" { print $3 }' "$work/ldd.txt")
        [ -n "$path" ] || fail "$(basename "$program") needs $library, which is not installed here"
        package=$(owner "$(realpath "$path")")
        [ -n "$package" ] || package=$(owner "$path")
        [ -n "$package" ] || fail "no package holds $path"
        grep -qxF "$package" "$work/depends.txt" ||
            fail "$(basename "$program") needs $library from $package, which Depends lacks: $(dpkg-deb -f "$deb" Depends)"
    done
done

# The unit as installed, but with ExecStart in the unpacked package: verify
# checks that the program exists and is executable.
unit=$root/usr/lib/systemd/system/tvkserve.service
mkdir "$work/unit"
sed "s|^ExecStart=/usr/bin/tvkserve |ExecStart=$root/usr/bin/tvkserve |" "$unit" > "$work/unit/tvkserve.service"
grep -q "^ExecStart=$root/usr/bin/tvkserve --config /etc/tvkserve/serve.json\$" \
    "$work/unit/tvkserve.service" ||
    fail "the unit does not start /usr/bin/tvkserve with /etc/tvkserve/serve.json: $(grep ExecStart "$unit")"
systemd-analyze verify "$work/unit/tvkserve.service" > "$work/verify.txt" 2>&1 ||
    fail "systemd-analyze verify refuses the unit: $(cat "$work/verify.txt")"
[ ! -s "$work/verify.txt" ] || fail "systemd-analyze verify warns: $(cat "$work/verify.txt")"
systemd-analyze security --offline=yes --threshold=20 "$work/unit/tvkserve.service" \
    > "$work/security.txt" 2>&1 ||
    fail "the unit's exposure is above 2.0: $(tail -n 3 "$work/security.txt")"

# A signed package, an icon and a picture where the sample configuration
# expects them (moved into the work folder), and a free port.
mkdir "$work/srv"
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 1 \
    -subj "/CN=Release Check" 2>/dev/null
"$root/usr/bin/tvkpack" embed "$root/usr/share/tvkstub/tvkstub.exe" "$installer" \
    -o setup-unsigned.exe > /dev/null
osslsigncode sign -certs cert.pem -key key.pem -n "Release check" \
    -in setup-unsigned.exe -out srv/setup-signed.exe > /dev/null
printf '\000\000\001\000icon' > srv/acme.ico
printf 'BMpicture' > srv/acme.bmp
sed -e "s|/srv/tvkserve/|$work/srv/|g" -e 's|"127.0.0.1:8080"|"127.0.0.1:0"|' \
    -e 's|"127.0.0.1:9180"|"127.0.0.1:0"|' \
    "$root/usr/share/doc/tvkstub/examples/serve.json" > serve.json
if [ "$(grep -o "$work/srv/" serve.json | wc -l)" -ne 3 ] ||
    [ "$(grep -o '"127.0.0.1:0"' serve.json | wc -l)" -ne 2 ]; then
    fail "the sample configuration no longer names the files and addresses this test moves"
fi

"$root/usr/bin/tvkserve" --config serve.json > access.log 2> errors.txt &
server_pid=$!
port=
metrics_port=
for _ in $(seq 100); do
    port=$(sed -n 's/^tvkserve: listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' errors.txt)
    metrics_port=$(sed -n 's/^tvkserve: metrics on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' errors.txt)
    [ -z "$port" ] || break
    kill -0 "$server_pid" 2>/dev/null || fail "tvkserve ended at start: $(cat errors.txt)"
    sleep 0.1
done
[ -n "$port" ] || fail "tvkserve did not listen within 10 s: $(cat errors.txt)"

# query, parameters text, tag options: the sample's brands as the README
# composes their parameters.
while IFS='|' read -r query params options; do
    printf '%s' "$params" > params.json
    # shellcheck disable=SC2086 # the options are words
    "$root/usr/bin/tvkpack" tag srv/setup-signed.exe -o expected.exe --params params.json \
        $options > /dev/null
    curl -fsS --max-time 30 -o download.exe "http://127.0.0.1:$port/download/setup?$query" ||
        fail "curl could not download ?$query"
    cmp -s download.exe expected.exe ||
        fail "the download for ?$query is not what tvkpack tag makes of it"
done <<EOF
brand=acme&ref=x-1|{"product":"My Product","vendor":"ACME","ref":"x-1"}|--icon srv/acme.ico --picture srv/acme.bmp
brand=plain|{"product":"My Product"}|
EOF

[ -n "$metrics_port" ] || fail "tvkserve did not say where its metrics are: $(cat errors.txt)"
[ "$(curl -fsS --max-time 10 "http://127.0.0.1:$metrics_port/healthz")" = ok ] ||
    fail "/healthz does not say ok"
curl -fsS --max-time 10 -o metrics.txt "http://127.0.0.1:$metrics_port/metrics" ||
    fail "curl could not fetch /metrics"
for brand in acme plain; do
    grep -qx "tvkserve_downloads_total{package=\"setup\",brand=\"$brand\"} 1" metrics.txt ||
        fail "/metrics does not count the $brand download: $(grep downloads_total metrics.txt)"
done

kill -TERM "$server_pid"
for _ in $(seq 100); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$server_pid" 2>/dev/null && fail "tvkserve did not end within 10 s of SIGTERM"
status=0
wait "$server_pid" || status=$?
server_pid=
[ "$status" -eq 0 ] || fail "tvkserve ended with $status on SIGTERM: $(cat errors.txt)"
echo "the installed tvkserve, its unit and its sample configuration: OK"
