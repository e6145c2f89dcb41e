#!/usr/bin/env bash
# The download server against Debian's nginx, on loopback, with wrk and a
# Python client (prints name: value lines; MiB = 1,048,576 bytes):
#
# - throughput: wrk downloads a signed 64 MiB package over 50 connections
#   for BENCH_SECONDS (default 10) per run, from tvkserve (each download
#   tagged on the fly; one campaign link) and from nginx (the same untagged
#   file, static, with sendfile). Runs of the two alternate three times, so
#   that both see the same machine load; the median of the three ratios is
#   serve_vs_nginx_throughput. Goal: >= 1.0.
# - time to first byte: while wrk loads a server, a prober opens a new
#   connection every 50 ms, sends a GET (for tvkserve with a new ref value
#   each time, so each probe makes a new tag) and times the first byte of
#   the response; median and 99th percentile in ms.
# - answers from lengths alone: requests per second for HEAD and for
#   If-None-Match: * (304) of the 64 MiB package with a brand that carries
#   an 8 MiB picture, against whole GETs of a small signed package (the
#   fixture programs, 31 KB), each request with its own ref: 16 connections,
#   8 requests pipelined on each, BENCH_SECONDS each.
# - memory: a fresh tvkserve with BENCH_DOWNLOADS (default 2000) downloads
#   of the 64 MiB package at once, each with its own ref, of the brand with
#   the 8 MiB picture, each client reading 16 KB a second for
#   BENCH_HOLD_SECONDS (default 15); the server's peak resident memory
#   (VmHWM). Goal: <= 64 MiB.
#
# - signed links and signed tags: a second tvkserve with links (not
#   required) and tag_signing (RSA 2048): whole GETs of the small package
#   with signed tags against the unsigned ones above, HEADs whose links are
#   signed (each with its own ref and signature, so each is checked) against
#   the plain HEADs above, and the peak memory with BENCH_DOWNLOADS slow
#   downloads whose tags are signed.
#
# BENCH_PACKAGE_MIB (default 64) sets the size of the large package. The
# smallest run, to check that the script works:
#   BENCH_SECONDS=1 BENCH_DOWNLOADS=20 BENCH_HOLD_SECONDS=2 BENCH_PACKAGE_MIB=4 tools/bench-serve.sh
#
# Both servers run 2 worker threads / processes and write an access log to
# a file. BENCH_TVKSERVE names another tvkserve program to measure (e.g. a
# build of an earlier commit); the configuration uses only members every
# version takes.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${BENCH_SECONDS:-10}
downloads=${BENCH_DOWNLOADS:-2000}
hold_seconds=${BENCH_HOLD_SECONDS:-15}
package_mib=${BENCH_PACKAGE_MIB:-64}
connections=50
threads=2

tools/install-deps.sh >&2
# Thousands of slow downloads need as many descriptors (the clients here,
# and the server, which raises its own limit).
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

. tools/quiet.sh

quiet cmake --preset native
quiet cmake --build --preset native --target tvkserve tvkpack tvk_test_fixtures
tvkserve=${BENCH_TVKSERVE:-build/native/tools/tvkserve}

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# A signed package of BENCH_PACKAGE_MIB (64 MiB): the fixture stub and
# installer, the installer padded behind its image. An 8 MiB picture for a
# brand.
fixtures=build/native/tests/fixtures
cp "$fixtures/tiny_installer.exe" "$work/installer.exe"
truncate -s "${package_mib}M" "$work/installer.exe"
build/native/tools/tvkpack embed "$fixtures/tiny_stub.exe" "$work/installer.exe" \
    -o "$work/unsigned.exe" >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 2 -subj "/CN=Bench Publisher" 2>/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Bench" \
    -in "$work/unsigned.exe" -out "$work/signed.exe" >/dev/null
# A small signed package (31 KB) for the answers from lengths alone: the
# fixture programs as they are.
build/native/tools/tvkpack embed "$fixtures/tiny_stub.exe" "$fixtures/tiny_installer.exe" \
    -o "$work/small-unsigned.exe" >/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Bench small" \
    -in "$work/small-unsigned.exe" -out "$work/small.exe" >/dev/null
mkdir -p "$work/www"
cp "$work/signed.exe" "$work/www/setup.exe"
python3 -c 'import os, sys
picture = bytearray(os.urandom(8 << 20)); picture[0:2] = b"BM"
open(sys.argv[1], "wb").write(picture)' "$work/picture.bmp"

# A link key and a tag key for the server with signed links and tags.
openssl rand 32 | basenc --base64url | tr -d '=\n' >"$work/links.key"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/tag.pem" 2>/dev/null

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

cat > "$work/serve.json" <<JSON
{"listen": "127.0.0.1:0", "threads": $threads,
 "limits": {"max_connections": 20000},
 "packages": {"setup": {"file": "signed.exe", "download_name": "Setup.exe"},
              "small": {"file": "small.exe", "download_name": "Small.exe"}},
 "brands": {"acme": {"params": {"product": "Bench", "brand": "ACME"}},
            "pictured": {"params": {"product": "Bench"}, "picture": "picture.bmp"}},
 "query": {"ref": {"max_length": 32, "pattern": "[A-Za-z0-9_-]*"}}}
JSON
sed 's|^ "query": \(.*\)}$| "query": \1,\n "links": {"keys": {"k1": {"file": "links.key"}}, "required": false},\n "tag_signing": {"key": "tag.pem"}}|' \
    "$work/serve.json" >"$work/serve-signed.json"

# Starts tvkserve with a configuration (default serve.json); sets serve_pid
# and serve_port.
start_serve() {
    rm -f "$work/serve-errors.log"
    "$tvkserve" --config "$work/${1:-serve.json}" >"$work/serve-access.log" \
        2>"$work/serve-errors.log" &
    serve_pid=$!
    pids+=("$serve_pid")
    for _ in $(seq 400); do
        if grep -qs "listening on" "$work/serve-errors.log"; then
            break
        fi
        sleep 0.05
    done
    serve_port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/serve-errors.log")
    [ -n "$serve_port" ] || { cat "$work/serve-errors.log" >&2; exit 1; }
}
stop_serve() {
    kill "$serve_pid"
    wait "$serve_pid" 2>/dev/null || true
}

nginx_port=$(free_port)
mkdir -p "$work/nginx-temp"
cat > "$work/nginx.conf" <<CONF
worker_processes $threads;
daemon off;
user root;
pid $work/nginx.pid;
error_log $work/nginx-errors.log;
events { worker_connections 4096; }
http {
    access_log $work/nginx-access.log;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path $work/nginx-temp/body;
    proxy_temp_path $work/nginx-temp/proxy;
    fastcgi_temp_path $work/nginx-temp/fastcgi;
    uwsgi_temp_path $work/nginx-temp/uwsgi;
    scgi_temp_path $work/nginx-temp/scgi;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/www;
    }
}
CONF
nginx -e "$work/nginx-errors.log" -p "$work" -c "$work/nginx.conf" &
pids+=($!)
start_serve
for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$nginx_port/setup.exe" && break
    sleep 0.05
done

serve_base="http://127.0.0.1:$serve_port/download"
serve_url="$serve_base/setup?brand=acme&ref=campaign-1"
nginx_url="http://127.0.0.1:$nginx_port/setup.exe"

cat > "$work/summary.lua" <<'LUA'
done = function(summary, latency, requests)
    io.write(string.format("wrk_bytes %d\nwrk_microseconds %d\nwrk_requests %d\nwrk_errors %d\n",
        summary.bytes, summary.duration, summary.requests,
        summary.errors.connect + summary.errors.read + summary.errors.write
        + summary.errors.status + summary.errors.timeout))
end
LUA

# The time to the first byte of responses on fresh connections, in ms, one
# per line, until the file named by its second argument appears.
cat > "$work/probe.py" <<'PY'
import os, socket, sys, time
url_path, stop_file, port, vary = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
n = 0
while not os.path.exists(stop_file):
    n += 1
    target = url_path + ("&ref=probe-%d" % n if vary else "")
    s = socket.create_connection(("127.0.0.1", port))
    start = time.perf_counter()
    s.sendall(("GET %s HTTP/1.1\r\nHost: bench\r\n\r\n" % target).encode())
    if s.recv(1):
        print("%.3f" % ((time.perf_counter() - start) * 1000), flush=True)
    s.close()
    time.sleep(0.05)
PY

# Runs wrk against url; writes wrk's totals to totals_file and appends the
# probes' times to ttfb_file.
load() {
    local url=$1 port=$2 path=$3 vary=$4 totals=$5 ttfb=$6
    rm -f "$work/stop"
    python3 "$work/probe.py" "$path" "$work/stop" "$port" "$vary" >>"$ttfb" &
    local prober=$!
    wrk -t2 -c"$connections" -d"${seconds}s" --timeout 120s -s "$work/summary.lua" "$url" \
        | grep '^wrk_' >"$totals"
    touch "$work/stop"
    wait "$prober"
}

throughput() {  # MiB/s from a totals file
    awk '/wrk_bytes/ {b += $2} /wrk_microseconds/ {us += $2}
         END {printf "%.1f", b / 1048576 / (us / 1e6)}' "$1"
}
rate() {  # requests per second from a totals file
    awk '/wrk_requests/ {r += $2} /wrk_microseconds/ {us += $2}
         END {printf "%.1f", r / (us / 1e6)}' "$1"
}
median3() {
    printf '%s\n' "$@" | sort -g | sed -n 2p
}
percentile() {  # the p-th percentile (nearest rank) of the numbers in a file
    sort -g "$1" | awk -v p="$2" '{v[NR] = $1}
        END {i = int(NR * p / 100 + 0.999999); if (i < 1) i = 1; printf "%.2f", v[i]}'
}

# Throughput: three alternating runs.
serve_runs=()
nginx_runs=()
ratios=()
for run in 1 2 3; do
    load "$nginx_url" "$nginx_port" "/setup.exe" 0 "$work/nginx-$run.totals" "$work/nginx.ttfb"
    load "$serve_url" "$serve_port" "/download/setup?brand=acme" 1 "$work/serve-$run.totals" \
        "$work/serve.ttfb"
    serve_runs+=("$(throughput "$work/serve-$run.totals")")
    nginx_runs+=("$(throughput "$work/nginx-$run.totals")")
    ratios+=("$(awk -v s="${serve_runs[-1]}" -v n="${nginx_runs[-1]}" 'BEGIN {printf "%.2f", s / n}')")
done
echo "serve_throughput_MiB_per_s_runs: ${serve_runs[*]}"
echo "nginx_throughput_MiB_per_s_runs: ${nginx_runs[*]}"
echo "serve_throughput_MiB_per_s: $(median3 "${serve_runs[@]}")"
echo "nginx_throughput_MiB_per_s: $(median3 "${nginx_runs[@]}")"
echo "serve_vs_nginx_throughput: $(median3 "${ratios[@]}")"
echo "serve_ttfb_median_ms: $(percentile "$work/serve.ttfb" 50)"
echo "serve_ttfb_p99_ms: $(percentile "$work/serve.ttfb" 99)"
echo "nginx_ttfb_median_ms: $(percentile "$work/nginx.ttfb" 50)"
echo "nginx_ttfb_p99_ms: $(percentile "$work/nginx.ttfb" 99)"
echo "ttfb_probes: $(wc -l < "$work/serve.ttfb") serve, $(wc -l < "$work/nginx.ttfb") nginx"

# Answers from lengths alone, against whole GETs of a small package: every
# request with its own ref (a new tag each time, as real visitors bring),
# kept-alive connections, 8 requests pipelined on each. wrk cannot take
# answers to HEAD, so a client of this script's own asks all three kinds.
cat > "$work/rate_client.py" <<'PY'
import asyncio, base64, hashlib, hmac, re, sys, time
port, method, path, header, seconds = (int(sys.argv[1]), sys.argv[2], sys.argv[3],
                                       sys.argv[4], float(sys.argv[5]))
# With a key file, every request's link is signed (as a web site signs them).
key = None
if len(sys.argv) > 6:
    text = open(sys.argv[6]).read().strip()
    key = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
expires = int(time.time()) + 3600

def target(number, n):
    link = "%s&ref=r%d-%d" % (path, number, n)
    if key is None:
        return link
    link += "&expires=%d&key=k1" % expires
    mac = hmac.new(key, link.encode(), hashlib.sha256).digest()
    return link + "&sig=" + base64.urlsafe_b64encode(mac).decode().rstrip("=")
connections, depth = 16, 8
length_field = re.compile(rb"\r\ncontent-length: *(\d+)", re.IGNORECASE)
answers = {}

async def worker(number):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    loop = asyncio.get_running_loop()
    end = loop.time() + seconds
    n = 0
    while loop.time() < end:
        batch = []
        for _ in range(depth):
            n += 1
            batch.append("%s %s HTTP/1.1\r\nHost: bench\r\n%s\r\n"
                         % (method, target(number, n), header))
        writer.write("".join(batch).encode())
        for _ in range(depth):
            head = await reader.readuntil(b"\r\n\r\n")
            status = head[9:12].decode()
            if method == "GET" and status != "304":
                await reader.readexactly(int(length_field.search(head).group(1)))
            answers[status] = answers.get(status, 0) + 1
    writer.close()

async def main():
    loop = asyncio.get_running_loop()
    start = loop.time()
    await asyncio.gather(*(worker(i) for i in range(connections)))
    print("%.1f %s" % (sum(answers.values()) / (loop.time() - start),
                       ",".join("%s:%d" % item for item in sorted(answers.items()))))

asyncio.run(main())
PY
rates() {  # method path header [key file]: "requests_per_second status:count,..."
    python3 "$work/rate_client.py" "$serve_port" "$1" "$2" "$3" "$seconds" ${4:+"$4"}
}
read -r head_rate head_answers < <(rates HEAD "/download/setup?brand=pictured" "")
read -r none_match_rate none_match_answers < <(rates GET "/download/setup?brand=pictured" \
    "If-None-Match: *"$'\r\n')
read -r small_rate small_answers < <(rates GET "/download/small?brand=acme" "")
echo "serve_head_per_s: $head_rate"
echo "serve_304_per_s: $none_match_rate"
echo "serve_small_get_per_s: $small_rate"
echo "serve_head_vs_small_get: $(awk -v a="$head_rate" -v b="$small_rate" 'BEGIN {printf "%.2f", a / b}')"
echo "serve_304_vs_small_get: $(awk -v a="$none_match_rate" -v b="$small_rate" 'BEGIN {printf "%.2f", a / b}')"
echo "answers: HEAD $head_answers; If-None-Match $none_match_answers; small GET $small_answers"

# Peak memory of a fresh server with many slow downloads at once: its
# configuration, and a prefix for the figures' names.
peak_memory() {
local prefix=$2
stop_serve
start_serve "$1"
cat > "$work/slow_clients.py" <<'PY'
import asyncio, resource, socket, sys
port, count, hold = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
path = sys.argv[4]
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

async def download(i):
    s = socket.socket()
    # A small window: the server cannot put megabytes into each socket.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32768)
    s.setblocking(False)
    await asyncio.get_running_loop().sock_connect(s, ("127.0.0.1", port))
    reader, writer = await asyncio.open_connection(sock=s)
    writer.write(("GET %s&ref=slow-%d HTTP/1.1\r\nHost: bench\r\n\r\n" % (path, i)).encode())
    got = 0
    loop = asyncio.get_running_loop()
    end = loop.time() + hold
    while loop.time() < end:
        data = await reader.read(16384)
        if not data:
            break
        got += len(data)
        await asyncio.sleep(1)
    writer.close()
    return got

async def main():
    results = await asyncio.gather(*(download(i) for i in range(count)), return_exceptions=True)
    # Downloads that went on after their first read.
    print(sum(1 for r in results if isinstance(r, int) and r > 16384))

asyncio.run(main())
PY
idle_kib=$(awk '/VmRSS/ {print $2}' /proc/"$serve_pid"/status)
served=$(python3 "$work/slow_clients.py" "$serve_port" "$downloads" "$hold_seconds" \
    "/download/setup?brand=pictured")
peak_kib=$(awk '/VmHWM/ {print $2}' /proc/"$serve_pid"/status)
echo "${prefix}memory_downloads: $downloads"
echo "${prefix}memory_downloads_served: $served"
echo "${prefix}serve_idle_memory_MiB: $(awk -v k="$idle_kib" 'BEGIN {printf "%.1f", k / 1024}')"
echo "${prefix}serve_peak_memory_MiB: $(awk -v k="$peak_kib" 'BEGIN {printf "%.1f", k / 1024}')"
echo "${prefix}serve_memory_per_download_KiB: $(awk -v p="$peak_kib" -v i="$idle_kib" -v n="$downloads" \
    'BEGIN {printf "%.1f", (p - i) / n}')"
}
peak_memory serve.json ""

# Signed links and signed tags.
stop_serve
start_serve serve-signed.json
read -r signed_small_rate signed_small_answers < <(rates GET "/download/small?brand=acme" "")
read -r linked_head_rate linked_head_answers < <(rates HEAD "/download/setup?brand=pictured" "" \
    "$work/links.key")
echo "signed_tag_small_get_per_s: $signed_small_rate"
echo "signed_vs_unsigned_small_get: $(awk -v a="$signed_small_rate" -v b="$small_rate" 'BEGIN {printf "%.2f", a / b}')"
echo "link_checked_head_per_s: $linked_head_rate"
echo "link_checked_vs_plain_head: $(awk -v a="$linked_head_rate" -v b="$head_rate" 'BEGIN {printf "%.2f", a / b}')"
echo "answers: signed small GET $signed_small_answers; link-checked HEAD $linked_head_answers"
peak_memory serve-signed.json signed_tags_
