#!/usr/bin/env bash
# Builds what the benchmarks need and prints every figure as a name: value
# line (MB = 1,000,000 bytes; MiB = 1,048,576 bytes):
#
# - extraction: the installer extraction of a 256 MiB image next to a plain
#   cp of the same bytes in the same run (native, stand-in layer). Repetitions
#   of the two are interleaved so that both see the same machine load; the
#   medians are compared. Target: extract_vs_cp >= 0.9.
# - base64: Base64Decode of the largest parameters block (20 MiB of text),
#   the median of several repetitions (native). Target: >= 500 MB/s.
# - memory: how far a whole run's resident memory rises with the largest
#   parameters block, in a fresh process (native; the bound is a test).
# - Wine: a whole run under 64-bit Wine of a package whose installer is the
#   64-bit test installer padded to 64 MiB with zeros behind the program
#   (Windows does not load bytes behind a PE image's sections), against
#   running that 64 MiB installer directly plus a cp of its bytes. The run is
#   made by run_package.exe, which runs the stub's sequence inside a 64-bit
#   program (the 32-bit stub needs a machine that runs 32-bit programs). One
#   Wine server stays up for all runs; the runs of the two alternate and the
#   medians are compared. The package run starts two Windows programs
#   (run_package.exe, then the installer), the direct run one; the same
#   package with the unpadded installer shows what the run costs beside
#   moving the 64 MiB.
# - tvkpack on a 1 GiB package: embed, tag (with an icon and a picture),
#   untag and inspect of a package whose installer carries 1 GiB of random
#   bytes (no holes for cp or tvkpack to skip), signed by osslsigncode, each
#   timed against cp of the command's input in the same run (the two
#   alternate; medians), inspect also against one read of the file (cat to
#   /dev/null), and each command's peak resident memory (GNU time's maximum
#   resident set size). Targets: each <= 1.5 x cp, inspect <= 1 x the read,
#   each peak <= 64 MiB. Then the same for tvkpack.exe under Wine: the win32
#   build's (the zip's) where this machine runs 32-bit programs, else the
#   win64 build's, of the same sources (tvkpack_exe_build says which; the
#   peak is the Wine process's, Wine's own libraries included).
#   tvkpack_exe_start_ms is what Wine adds to each run (tvkpack.exe
#   --version). BENCH_TVKPACK_BASELINE=PATH measures another native tvkpack
#   the same way, once (baseline_* lines), e.g. one built from an earlier
#   commit.
# - the stub: the size in bytes of the product, build/win32/tvkstub.exe.
#
# BENCH_REPETITIONS (default 25; at least 2, for a median) sets the
# extraction's repetitions,
# BENCH_WINE_RUNS (default 9) the timed Wine runs of each kind,
# BENCH_TVKPACK_RUNS (default 5) the timed runs of each tvkpack command,
# BENCH_TVKPACK_MIB (default 1024) the random bytes of the tvkpack package's
# installer (its figures are then named for that size, e.g. _8mib_ instead of
# _1gib_). The smallest run, to check that the script works:
#   BENCH_REPETITIONS=2 BENCH_WINE_RUNS=1 BENCH_TVKPACK_RUNS=1 BENCH_TVKPACK_MIB=8 tools/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions=${BENCH_REPETITIONS:-25}
wine_runs=${BENCH_WINE_RUNS:-9}
tvkpack_runs=${BENCH_TVKPACK_RUNS:-5}
tvkpack_mib=${BENCH_TVKPACK_MIB:-1024}
if [ "$tvkpack_mib" = 1024 ]; then
    tvkpack_size_name=1gib
else
    tvkpack_size_name=${tvkpack_mib}mib
fi

tools/install-deps.sh >&2

. tools/quiet.sh

quiet cmake --preset native
quiet cmake --build --preset native --target extract_benchmark base64_bench \
    make_bench_package run_memory_probe test_installer tvkpack
quiet cmake --preset win64
quiet cmake --build --preset win64 --target run_package test_installer tvkpack wine_keep_alive
quiet cmake --preset win32
quiet cmake --build --preset win32 --target tvkstub
# The zip's tvkpack.exe runs where this machine runs 32-bit programs.
exe_build=win64
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    exe_build=win32
    quiet cmake --build --preset win32 --target tvkpack wine_keep_alive
fi

work=$(mktemp -d)
wine_started=false
exe_wine_started=false
cleanup() {
    if $wine_started; then
        build/win64/wine-server stop
    fi
    if $exe_wine_started && [ "$exe_build" != win64 ]; then
        "build/$exe_build/wine-server" stop
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The median rate (bytes per second) of a Google Benchmark JSON report.
median_rate() {
    python3 - "$1" "$2" <<'PY'
import json
import sys

with open(sys.argv[1]) as f:
    results = json.load(f)["benchmarks"]
for entry in results:
    if entry["name"].startswith(sys.argv[2]) and entry.get("aggregate_name") == "median":
        print(entry["bytes_per_second"])
        break
else:
    sys.exit(f"no median for {sys.argv[2]}")
PY
}

# The median of integers given one a line on standard input.
median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# --- Extraction versus cp ---------------------------------------------------
build/native/bench/extract_benchmark \
    --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.01 \
    --benchmark_out="$work/extract.json" --benchmark_out_format=json >&2
extract=$(median_rate "$work/extract.json" "BM_ExtractInstaller/")
cp_rate=$(median_rate "$work/extract.json" "BM_Cp/")
awk -v e="$extract" -v c="$cp_rate" 'BEGIN {
    printf "extract_throughput_mb_s: %.0f\n", e / 1e6
    printf "cp_throughput_mb_s: %.0f\n", c / 1e6
    printf "extract_vs_cp: %.2f\n", e / c
}'

# --- Base64 decoding ---------------------------------------------------------
build/native/bench/base64_bench --benchmark_repetitions=5 \
    --benchmark_out="$work/base64.json" --benchmark_out_format=json >&2
base64=$(median_rate "$work/base64.json" "BM_Base64DecodeLargestBlock")
awk -v b="$base64" 'BEGIN { printf "base64_decode_mb_s: %.0f\n", b / 1e6 }'

# --- Peak memory of a run ------------------------------------------------------
mkdir "$work/temp"
build/native/bench/make_bench_package "$work/warm_up.exe" build/native/tests/test_installer 64
build/native/bench/make_bench_package "$work/largest.exe" build/native/tests/test_installer \
    20971520
read -r start_kib peak_kib warm_up_status status < <(build/native/tests/run_memory_probe \
    "$work/temp" "$work/warm_up.exe" "$work/largest.exe")
if [ "$warm_up_status" != 0 ] || [ "$status" != 0 ]; then
    echo "bench: the memory probe's runs failed ($warm_up_status, $status)" >&2
    exit 1
fi
awk -v s="$start_kib" -v p="$peak_kib" \
    'BEGIN { printf "run_peak_memory_rise_mib_20mib_params: %.1f\n", (p - s) / 1024 }'
rm -rf "$work/temp" "$work/warm_up.exe" "$work/largest.exe"

# --- A 64 MiB installer under Wine ------------------------------------------
installer="$work/installer64.exe"
cp build/win64/tests/test_installer.exe "$installer"
truncate -s 64M "$installer"
build/native/bench/make_bench_package "$work/tvkbench.exe" "$installer"
# The same package with the unpadded installer: what the run costs beside
# moving 64 MiB.
build/native/bench/make_bench_package "$work/tvkbench_small.exe" build/win64/tests/test_installer.exe
windows_path() {
    printf 'Z:%s' "$1" | tr / '\\'
}

# A server already running (started by someone else) is used and left up.
if build/win64/wine-server start; then
    wine_started=true
fi
run_package() {
    local output
    output=$(build/win64/wine-run build/win64/tools/run_package.exe "$(windows_path "$1")" exit=0)
    if [ "$output" != "exit status: 0"$'\r' ] && [ "$output" != "exit status: 0" ]; then
        echo "bench: the package run failed: $output" >&2
        exit 1
    fi
}
run_direct() {
    build/win64/wine-run "$installer" exit=0
    cp "$installer" "$work/copy.bin"
}
# The parameters files and installer records that package runs leave in
# Wine's temporary directory.
clean_wine_temp() {
    find build/win64/wineprefix/drive_c/users -maxdepth 6 -type f \
        \( -name 'tvkbench_*' -o -name 'InstallerParams_*.json' \) \
        -newer "$work/tvkbench.exe" -delete
}
now_ms() {
    echo $(($(date +%s%N) / 1000000))
}

# One untimed round brings everything into the page cache.
run_package "$work/tvkbench.exe"
run_package "$work/tvkbench_small.exe"
run_direct
rm -f "$work/copy.bin"
: >"$work/package_ms"
: >"$work/small_ms"
: >"$work/direct_ms"
for _ in $(seq "$wine_runs"); do
    begin=$(now_ms)
    run_package "$work/tvkbench.exe"
    echo $(($(now_ms) - begin)) >>"$work/package_ms"
    begin=$(now_ms)
    run_package "$work/tvkbench_small.exe"
    echo $(($(now_ms) - begin)) >>"$work/small_ms"
    clean_wine_temp
    begin=$(now_ms)
    run_direct
    echo $(($(now_ms) - begin)) >>"$work/direct_ms"
    rm -f "$work/copy.bin"
done
clean_wine_temp
package_ms=$(median <"$work/package_ms")
small_ms=$(median <"$work/small_ms")
direct_ms=$(median <"$work/direct_ms")
echo "wine_package_64mib_installer_ms: $package_ms"
echo "wine_package_small_installer_ms: $small_ms"
echo "wine_installer_direct_plus_cp_64mib_ms: $direct_ms"
awk -v p="$package_ms" -v d="$direct_ms" 'BEGIN { printf "wine_package_vs_direct: %.2f\n", p / d }'

# --- tvkpack on a 1 GiB package ----------------------------------------------
pack="$work/pack"
mkdir "$pack"
cp build/win64/tests/test_installer.exe "$pack/installer.exe"
head -c $((tvkpack_mib << 20)) /dev/urandom >>"$pack/installer.exe"
cp build/win32/tvkstub.exe "$pack/stub.exe"
printf '{"product":"Bench","seats":3}' >"$pack/params.json"
{ printf '\0\0\1\0' && head -c 4092 /dev/urandom; } >"$pack/brand.ico"
{ printf 'BM' && head -c 196606 /dev/urandom; } >"$pack/brand.bmp"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pack/key.pem" -out "$pack/cert.pem" \
    -days 1 -subj "/CN=Bench Publisher" 2>/dev/null
native_tvkpack=$PWD/build/native/tools/tvkpack
(cd "$pack" && "$native_tvkpack" embed stub.exe installer.exe -o unsigned.exe >/dev/null 2>&1)
osslsigncode sign -certs "$pack/cert.pem" -key "$pack/key.pem" -n "Bench" \
    -in "$pack/unsigned.exe" -out "$pack/signed.exe" >/dev/null
rm "$pack/unsigned.exe"
(cd "$pack" && "$native_tvkpack" tag signed.exe -o tagged.exe --params params.json \
    --icon brand.ico --picture brand.bmp >/dev/null)

# The command lines, by name: what each reads (cp copies the same file) and
# its arguments.
commands=(embed tag untag inspect)
declare -A command_input=([embed]=installer.exe [tag]=signed.exe [untag]=tagged.exe
    [inspect]=tagged.exe)
declare -A command_arguments=(
    [embed]="embed stub.exe installer.exe -o out.exe"
    [tag]="tag signed.exe -o out.exe --params params.json --icon brand.ico --picture brand.bmp"
    [untag]="untag tagged.exe -o out.exe"
    [inspect]="inspect tagged.exe")

# bench_tvkpack PREFIX RUNS TVKPACK [RUNNER]: the figures of one tvkpack, as
# PREFIX_<command>_... lines, medians of RUNS runs (after an untimed one
# when there are several). Each run of a command is preceded by a cp of its
# input and followed by a read of it, so that all three see the same page
# cache and machine load; the writes of one do not pile up on the next
# (sync, untimed).
bench_tvkpack() {
    local prefix=$1 runs=$2 tvkpack=$3 runner=${4:-} name run begin
    for name in "${commands[@]}"; do
        : >"$work/$name.cmd_ms"
        : >"$work/$name.cp_ms"
        : >"$work/$name.read_ms"
        : >"$work/$name.kib"
        for run in $(seq $((runs > 1 ? 0 : 1)) "$runs"); do
            sync
            begin=$(now_ms)
            cp "$pack/${command_input[$name]}" "$pack/copy.bin"
            [ "$run" -eq 0 ] || echo $(($(now_ms) - begin)) >>"$work/$name.cp_ms"
            rm -f "$pack/copy.bin"
            sync
            begin=$(now_ms)
            # shellcheck disable=SC2086 # the arguments are words
            (cd "$pack" && /usr/bin/time -f %M -o "$work/peak" $runner "$tvkpack" \
                ${command_arguments[$name]} >/dev/null 2>"$work/err") ||
                { cat "$work/err" >&2; echo "bench: $prefix $name failed" >&2; exit 1; }
            [ "$run" -eq 0 ] || echo $(($(now_ms) - begin)) >>"$work/$name.cmd_ms"
            tail -n 1 "$work/peak" >>"$work/$name.kib"
            rm -f "$pack/out.exe"
            begin=$(now_ms)
            cat "$pack/${command_input[$name]}" >/dev/null
            [ "$run" -eq 0 ] || echo $(($(now_ms) - begin)) >>"$work/$name.read_ms"
        done
        local cmd_ms cp_ms read_ms peak_kib
        cmd_ms=$(median <"$work/$name.cmd_ms")
        cp_ms=$(median <"$work/$name.cp_ms")
        read_ms=$(median <"$work/$name.read_ms")
        peak_kib=$(sort -n "$work/$name.kib" | tail -n 1)
        echo "${prefix}_${name}_${tvkpack_size_name}_ms: $cmd_ms"
        echo "${prefix}_${name}_cp_same_file_ms: $cp_ms"
        awk -v c="$cmd_ms" -v p="$cp_ms" -v n="${prefix}_${name}" \
            'BEGIN { printf "%s_vs_cp: %.2f\n", n, c / p }'
        if [ "$name" = inspect ]; then
            echo "${prefix}_${name}_read_same_file_ms: $read_ms"
            awk -v c="$cmd_ms" -v r="$read_ms" -v n="${prefix}_${name}" \
                'BEGIN { printf "%s_vs_read: %.2f\n", n, c / r }'
        fi
        awk -v k="$peak_kib" -v n="${prefix}_${name}" \
            'BEGIN { printf "%s_peak_mib: %.1f\n", n, k / 1024 }'
    done
}

bench_tvkpack tvkpack "$tvkpack_runs" "$native_tvkpack"
if [ -n "${BENCH_TVKPACK_BASELINE:-}" ]; then
    bench_tvkpack baseline_tvkpack 1 "$(realpath "$BENCH_TVKPACK_BASELINE")"
fi
if [ "$exe_build" = win64 ] || "build/$exe_build/wine-server" start; then
    exe_wine_started=true
fi
echo "tvkpack_exe_build: $exe_build"
exe_tvkpack=$PWD/build/$exe_build/tools/tvkpack.exe
exe_runner=$PWD/build/$exe_build/wine-run
"$exe_runner" "$exe_tvkpack" --version >/dev/null
: >"$work/start_ms"
for _ in $(seq "$tvkpack_runs"); do
    begin=$(now_ms)
    "$exe_runner" "$exe_tvkpack" --version >/dev/null
    echo $(($(now_ms) - begin)) >>"$work/start_ms"
done
echo "tvkpack_exe_start_ms: $(median <"$work/start_ms")"
bench_tvkpack tvkpack_exe "$tvkpack_runs" "$exe_tvkpack" "$exe_runner"
rm -rf "$pack"

# --- The stub's size ----------------------------------------------------------
echo "stub_size_bytes: $(stat -c %s build/win32/tvkstub.exe)"
