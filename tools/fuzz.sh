#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, on the stand-in layer),
# makes their seed corpora from real signed packages (and the download
# server's requests from its target's own content), and runs each target for
# a bounded time. Fails on any finding.
#   tools/fuzz.sh [SECONDS_PER_TARGET]     (default 60)
# Longer runs: tools/fuzz.sh 3600, or run build/fuzz/fuzz/<target> by hand
# on build/fuzz/corpus/<target> (findings land in build/fuzz/findings).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

tools/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# Real signed packages, made the way the tests make them.
seeds=$PWD/build/fuzz/seed-packages
mkdir -p "$seeds"
i686-w64-mingw32-gcc -Os -s -mwindows tests/fixtures/tiny_stub.c -o "$seeds/tiny_stub.exe"
i686-w64-mingw32-gcc -Os -s -mwindows tests/fixtures/tiny_installer.c -o "$seeds/tiny_installer.exe"
sh tests/fixtures/make_signed_packages.sh "$seeds" "$seeds/tiny_stub.exe" \
    "$seeds/tiny_installer.exe" "$seeds/tiny_installer.exe"
rm -rf build/fuzz/corpus
build/fuzz/fuzz/make_fuzz_seeds "$seeds/signed_package.exe" "$seeds/signed_dual.exe" \
    build/fuzz/corpus
build/fuzz/fuzz/make_request_path_seeds build/fuzz/corpus

findings=$PWD/build/fuzz/findings
rm -rf "$findings"
mkdir -p "$findings"
status=0
for target in pe_reader_fuzz base64_fuzz run_sequence_fuzz signature_tag_fuzz tag_verify_fuzz \
    request_path_fuzz; do
    echo "== $target: ${seconds}s"
    work=$(mktemp -d)
    cp build/fuzz/corpus/$target/* "$work/"
    log="$findings/$target.log"
    # A target's dictionary, where it has one: the words of its input.
    dictionary=()
    if [ -f "fuzz/$target.dict" ]; then
        dictionary=("-dict=$PWD/fuzz/$target.dict")
    fi
    result=0
    (cd "$findings" && "../fuzz/$target" -max_total_time="$seconds" -max_len=65536 \
        -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 "${dictionary[@]}" "$work") \
        >"$log" 2>&1 || result=$?
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec" "$log" || true
    if [ "$result" -ne 0 ]; then
        grep -E "ERROR|SUMMARY|Test unit written" "$log" | head -5
        echo "$target: FINDING (exit $result; see $log)"
        status=1
    fi
    rm -rf "$work"
done
exit $status
