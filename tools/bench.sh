#!/usr/bin/env bash
# Builds the native preset (RelWithDebInfo) and runs the benchmarks: the
# installer extraction of a 256 MiB image next to a plain cp of the same
# bytes in the same run. Repetitions of the two are interleaved so that both
# see the same machine load; the medians are compared. Prints name: value
# lines (MB = 1,000,000 bytes).
#
# Target: extract_vs_cp >= 0.9.
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions=${BENCH_REPETITIONS:-25}

nice cmake --preset native >/dev/null
nice cmake --build --preset native --target extract_benchmark >/dev/null

out=$(mktemp)
trap 'rm -f "$out"' EXIT
build/native/bench/extract_benchmark \
    --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.01 \
    --benchmark_out="$out" --benchmark_out_format=json >&2

python3 - "$out" <<'PY'
import json
import sys

with open(sys.argv[1]) as f:
    results = json.load(f)["benchmarks"]

def median_rate(prefix):
    for entry in results:
        if entry["name"].startswith(prefix) and entry.get("aggregate_name") == "median":
            return entry["bytes_per_second"]
    sys.exit(f"no median for {prefix}")

extract = median_rate("BM_ExtractInstaller/")
cp = median_rate("BM_Cp/")
print(f"extract_throughput_mb_s: {extract / 1e6:.0f}")
print(f"cp_throughput_mb_s: {cp / 1e6:.0f}")
print(f"extract_vs_cp: {extract / cp:.2f}")
PY
