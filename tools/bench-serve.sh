#!/usr/bin/env bash
# The download server against Debian's nginx, on loopback, with wrk (prints
# name: value lines; MiB = 1,048,576 bytes):
#
# - throughput: wrk downloads a signed 64 MiB package over many connections
#   for BENCH_SECONDS (default 15) per run, from tvkserve (each download
#   tagged on the fly; one campaign link, so the downloads share one tag)
#   and from nginx (the same untagged file, static, with sendfile). Runs of
#   the two alternate BENCH_ROUNDS times (default 2) so that both see the
#   same machine load; bytes over seconds are summed per server. Goal:
#   serve_vs_nginx_throughput >= 0.8.
# - time to first byte: while wrk loads a server, a prober opens a new
#   connection every 50 ms, sends a GET (for tvkserve with a new ref value
#   each time, so each probe makes a new tag) and times the first byte of
#   the response; median and 99th percentile in ms.
# - memory: a fresh tvkserve with 200 downloads running at once (wrk, 200
#   connections); its peak resident memory (VmHWM). Goal: <= 64 MiB.
#
# Both servers run 2 worker threads / processes and write an access log
# to a file.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${BENCH_SECONDS:-15}
rounds=${BENCH_ROUNDS:-2}
connections=50
threads=2

tools/install-deps.sh >&2

quiet() {
    local log
    log=$(mktemp)
    if ! nice "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

quiet cmake --preset native
quiet cmake --build --preset native --target tvkserve tvkpack tvk_test_fixtures

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

# A signed 64 MiB package: the fixture stub and installer, the installer
# padded behind its image.
fixtures=build/native/tests/fixtures
cp "$fixtures/tiny_installer.exe" "$work/installer.exe"
truncate -s 64M "$work/installer.exe"
build/native/tools/tvkpack embed "$fixtures/tiny_stub.exe" "$work/installer.exe" \
    -o "$work/unsigned.exe" >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 2 -subj "/CN=Bench Publisher" 2>/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Bench" \
    -in "$work/unsigned.exe" -out "$work/signed.exe" >/dev/null
mkdir -p "$work/www"
cp "$work/signed.exe" "$work/www/setup.exe"

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

cat > "$work/serve.json" <<JSON
{"listen": "127.0.0.1:0", "threads": $threads,
 "packages": {"setup": {"file": "signed.exe", "download_name": "Setup.exe"}},
 "brands": {"acme": {"params": {"product": "Bench", "brand": "ACME"}}},
 "query": {"ref": {"max_length": 32, "pattern": "[A-Za-z0-9_-]*"}}}
JSON

# Starts tvkserve; sets serve_pid and serve_port.
start_serve() {
    rm -f "$work/serve-errors.log"
    build/native/tools/tvkserve --config "$work/serve.json" >"$work/serve-access.log" \
        2>"$work/serve-errors.log" &
    serve_pid=$!
    pids+=("$serve_pid")
    for _ in $(seq 200); do
        if grep -q "listening on" "$work/serve-errors.log"; then
            break
        fi
        sleep 0.05
    done
    serve_port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/serve-errors.log")
    [ -n "$serve_port" ] || { cat "$work/serve-errors.log" >&2; exit 1; }
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

serve_url="http://127.0.0.1:$serve_port/download/setup?brand=acme&ref=campaign-1"
nginx_url="http://127.0.0.1:$nginx_port/setup.exe"

cat > "$work/summary.lua" <<'LUA'
done = function(summary, latency, requests)
    io.write(string.format("wrk_bytes %d\nwrk_microseconds %d\nwrk_requests %d\n",
        summary.bytes, summary.duration, summary.requests))
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

# Runs wrk against url; appends wrk's totals to totals_file and the probes'
# times to ttfb_file.
load() {
    local url=$1 port=$2 path=$3 vary=$4 totals=$5 ttfb=$6
    rm -f "$work/stop"
    python3 "$work/probe.py" "$path" "$work/stop" "$port" "$vary" >>"$ttfb" &
    local prober=$!
    wrk -t2 -c"$connections" -d"${seconds}s" --timeout 120s -s "$work/summary.lua" "$url" \
        | grep '^wrk_' >>"$totals"
    touch "$work/stop"
    wait "$prober"
}

for _ in $(seq "$rounds"); do
    load "$nginx_url" "$nginx_port" "/setup.exe" 0 "$work/nginx.totals" "$work/nginx.ttfb"
    load "$serve_url" "$serve_port" "/download/setup?brand=acme" 1 "$work/serve.totals" \
        "$work/serve.ttfb"
done

throughput() {  # MiB/s from a totals file
    awk '/wrk_bytes/ {b += $2} /wrk_microseconds/ {us += $2}
         END {printf "%.1f", b / 1048576 / (us / 1e6)}' "$1"
}
percentile() {  # the p-th percentile (nearest rank) of the numbers in a file
    sort -g "$1" | awk -v p="$2" '{v[NR] = $1}
        END {i = int(NR * p / 100 + 0.999999); if (i < 1) i = 1; printf "%.2f", v[i]}'
}
serve_mibs=$(throughput "$work/serve.totals")
nginx_mibs=$(throughput "$work/nginx.totals")
echo "serve_throughput_MiB_per_s: $serve_mibs"
echo "nginx_throughput_MiB_per_s: $nginx_mibs"
echo "serve_vs_nginx_throughput: $(awk -v s="$serve_mibs" -v n="$nginx_mibs" 'BEGIN {printf "%.2f", s / n}')"
echo "serve_ttfb_median_ms: $(percentile "$work/serve.ttfb" 50)"
echo "serve_ttfb_p99_ms: $(percentile "$work/serve.ttfb" 99)"
echo "nginx_ttfb_median_ms: $(percentile "$work/nginx.ttfb" 50)"
echo "nginx_ttfb_p99_ms: $(percentile "$work/nginx.ttfb" 99)"
echo "ttfb_probes: $(wc -l < "$work/serve.ttfb") serve, $(wc -l < "$work/nginx.ttfb") nginx"

# Peak memory of a fresh server with 200 downloads at once.
kill "$serve_pid"
wait "$serve_pid" 2>/dev/null || true
start_serve
memory_seconds=10
wrk -t2 -c200 -d"${memory_seconds}s" --timeout 120s \
    "http://127.0.0.1:$serve_port/download/setup?brand=acme&ref=campaign-1" >/dev/null &
wrk_pid=$!
most_connections=0
for _ in $(seq $((memory_seconds * 4))); do
    sleep 0.25
    n=$(ls /proc/"$serve_pid"/fd | wc -l)
    [ "$n" -gt "$most_connections" ] && most_connections=$n
done
wait "$wrk_pid"
peak_kib=$(awk '/VmHWM/ {print $2}' /proc/"$serve_pid"/status)
echo "serve_peak_memory_200_downloads_MiB: $(awk -v k="$peak_kib" 'BEGIN {printf "%.1f", k / 1024}')"
echo "serve_most_open_descriptors: $most_connections"
