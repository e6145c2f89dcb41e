#!/usr/bin/env bash
# The edge worker (edge/worker.mjs on workerd) against Debian's nginx, on
# loopback; prints name: value lines (MiB = 1,048,576 bytes):
#
# - edge_vs_nginx_throughput: wrk downloads a signed package of
#   BENCH_PACKAGE_MIB (default 64) MiB over 8 connections for BENCH_SECONDS
#   (default 5) per run through the edge (each download tagged at the edge,
#   its body streamed from nginx) and from nginx directly (the same untagged
#   file). Runs alternate three times; the median of the three ratios.
#   Goal: >= 0.8.
# - passthrough_vs_nginx_throughput: the same for a worker on workerd that
#   only returns fetch() of the untagged file: what workerd itself costs in
#   the path, the ceiling of any worker (measured in the same rounds).
# - edge_ttfb_vs_nginx: the median time to the first byte of BENCH_PROBES
#   (default 20) downloads with curl, each with its own ref (so each makes a
#   new tag), through the edge, over the same median from nginx.
# - origin_requests_per_download: what nginx's access log shows per
#   download through the edge (body requests; the manifest and images are
#   fetched once per isolate and not counted here, but listed).
# - edge_cpu_ms_per_download: workerd's CPU time (user and system, from
#   /proc) per download of the small signed package (31 KB) with a brand
#   that carries an 8 MiB picture, each download with its own ref.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${BENCH_SECONDS:-5}
package_mib=${BENCH_PACKAGE_MIB:-64}
probes=${BENCH_PROBES:-20}
cpu_downloads=${BENCH_CPU_DOWNLOADS:-50}
connections=8

tools/install-deps.sh >&2

. tools/quiet.sh

quiet cmake --preset native
quiet cmake --build --preset native --target tvkpack tvk_test_fixtures
quiet cmake --preset wasm
quiet cmake --build --preset wasm
tvkpack=build/native/tools/tvkpack

work=$(mktemp -d)
chmod 755 "$work"
. tools/edge-local.sh
cleanup() {
    edge_local_stop
    rm -rf "$work"
}
trap cleanup EXIT

# The origin's files: a signed package of package_mib MiB (the fixture stub
# and installer, the installer padded), the small signed package, their
# manifests and an 8 MiB picture.
fixtures=build/native/tests/fixtures
www="$work/www"
mkdir -p "$www"
cp "$fixtures/tiny_installer.exe" "$work/installer.exe"
truncate -s "${package_mib}M" "$work/installer.exe"
"$tvkpack" embed "$fixtures/tiny_stub.exe" "$work/installer.exe" -o "$work/unsigned.exe" >/dev/null
"$tvkpack" embed "$fixtures/tiny_stub.exe" "$fixtures/tiny_installer.exe" \
    -o "$work/small-unsigned.exe" >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 2 -subj "/CN=Bench Publisher" 2>/dev/null
for name in setup small; do
    input="$work/unsigned.exe"
    [ "$name" = small ] && input="$work/small-unsigned.exe"
    osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Bench" \
        -in "$input" -out "$www/$name.exe" >/dev/null
    "$tvkpack" manifest "$www/$name.exe" -o "$www/$name.manifest.json" >/dev/null
done
python3 -c 'import os, sys
picture = bytearray(os.urandom(8 << 20)); picture[0:2] = b"BM"
open(sys.argv[1], "wb").write(picture)' "$www/picture.bmp"

edge_local_origin "$work" "$www"
config=$(
    cat <<JSON
{"packages": {"setup": {"manifest": "$origin/setup.manifest.json", "body": "$origin/setup.exe",
                        "download_name": "Setup.exe"},
              "small": {"manifest": "$origin/small.manifest.json", "body": "$origin/small.exe",
                        "download_name": "Small.exe"}},
 "brands": {"acme": {"params": {"product": "Bench", "brand": "ACME"}},
            "pictured": {"params": {"product": "Bench"}, "picture": "$origin/picture.bmp"}},
 "query": {"ref": {"max_length": 32, "pattern": "[A-Za-z0-9_-]*"}}}
JSON
)
edge_local_worker "$work" "$config"
workerd_pid=$edge_local_worker_pid
tagging_edge=$edge
# The peer inside workerd: a worker that passes the origin's answer on.
mkdir "$work/pass"
cat >"$work/pass/passthrough.mjs" <<'JS'
export default { fetch: (request, env) => fetch(env.TVK_EDGE_CONFIG) };
JS
edge_local_module="$work/pass/passthrough.mjs" edge_local_worker "$work/pass" "$origin/setup.exe"
passthrough=$edge
edge=$tagging_edge
# The first request loads the module, the manifests and the picture.
curl -fsS -o /dev/null "$edge/download/setup?brand=acme"
curl -fsS -o /dev/null "$edge/download/small?brand=pictured"

# Requests per second of whole downloads (wrk's "Transfer/sec" would do as
# well: both move the same number of bytes per download, within a few KB).
rate() {
    wrk -t 2 -c "$connections" -d "${seconds}s" "$1" | awk '/Requests\/sec/ {print $2}'
}
ratios=()
passthrough_ratios=()
for _ in 1 2 3; do
    at_edge=$(rate "$edge/download/setup?brand=acme&ref=bench")
    direct=$(rate "$origin/setup.exe")
    passed=$(rate "$passthrough/")
    ratios+=("$(python3 -c "print($at_edge / $direct)")")
    passthrough_ratios+=("$(python3 -c "print($passed / $direct)")")
    echo "run: edge $at_edge/s, nginx $direct/s, pass-through worker $passed/s (${package_mib} MiB downloads)" >&2
done
echo "edge_vs_nginx_throughput: $(printf '%s\n' "${ratios[@]}" | sort -g | sed -n 2p)"
echo "passthrough_vs_nginx_throughput: $(printf '%s\n' "${passthrough_ratios[@]}" | sort -g | sed -n 2p)"

median_ttfb() {
    local base=$1 times=()
    for i in $(seq "$probes"); do
        times+=("$(curl -fsS -o /dev/null -w '%{time_starttransfer}' "${base//REF/p$i$RANDOM}")")
    done
    printf '%s\n' "${times[@]}" | sort -g | sed -n "$(((probes + 1) / 2))p"
}
edge_ttfb=$(median_ttfb "$edge/download/setup?brand=acme&ref=REF")
nginx_ttfb=$(median_ttfb "$origin/setup.exe?REF")
echo "ttfb (median, s): edge $edge_ttfb, nginx $nginx_ttfb" >&2
echo "edge_ttfb_vs_nginx: $(python3 -c "print(round($edge_ttfb / $nginx_ttfb, 2))")"

# The origin's log for a fresh set of downloads.
before=$(wc -l <"$work/access.log")
for i in $(seq 10); do
    curl -fsS -o /dev/null "$edge/download/setup?brand=acme&ref=o$i"
    curl -fsS -o /dev/null -H "Range: bytes=1000-2000" "$edge/download/setup?brand=acme&ref=r$i"
done
tail -n "+$((before + 1))" "$work/access.log" >"$work/new.log"
if grep -v '^GET /setup\.exe ' "$work/new.log" >&2; then
    echo "bench-edge: the origin was asked for more than the body URL (above)" >&2
fi
echo "origin_requests_per_download: $(python3 -c "print($(wc -l <"$work/new.log") / 20)")"
echo "origin requests for manifests and images (once per isolate): $(grep -vc '^GET /setup\.exe ' "$work/access.log" || true)" >&2

cpu_ticks() {
    awk '{print $14 + $15}' "/proc/$workerd_pid/stat"
}
ticks_before=$(cpu_ticks)
for i in $(seq "$cpu_downloads"); do
    curl -fsS -o /dev/null "$edge/download/small?brand=pictured&ref=c$i"
done
ticks_after=$(cpu_ticks)
echo "edge_cpu_ms_per_download: $(python3 -c "print(round(($ticks_after - $ticks_before) * 1000 / $(getconf CLK_TCK) / $cpu_downloads, 1))")"
echo "module: tvk_edge.wasm $(stat -c %s build/wasm/edge/tvk_edge.wasm) B, tvk_edge.mjs $(stat -c %s build/wasm/edge/tvk_edge.mjs) B, worker.mjs $(stat -c %s edge/worker.mjs) B" >&2
