#!/bin/bash
# The packaging command on a package near the format's limit: 1.5 GiB, made
# from a signed fixture with zeros behind its installer as a hole in the file
# (the command's copies keep the hole, as cp does), so that the check costs
# seconds and a few megabytes of disk. Tag (with an icon and a picture),
# re-tag in place, untag and inspect must each succeed with a peak resident
# memory of at most MAX_KIB; untag must give back the package byte for byte
# and inspect find its stored checksum right; and a tag whose output meets a
# file size limit (ulimit -f, standing in for a full disk) must fail and
# leave the target as it was, with nothing beside it.
#
# The peak is the process's high-water mark as the kernel accounts it (GNU
# time's maximum resident set size): of tvkpack itself, or of the Wine
# process that runs tvkpack.exe, Wine's own libraries included.
#
# usage: tvkpack_large_package.sh FIXTURES MAX_KIB TVKPACK [RUNNER]
#   a Windows build's tvkpack.exe runs under RUNNER (the build's wine-run)
set -u
fixtures=$(realpath "$1")
max_kib=$2
tvkpack=$(realpath "$3")
runner=${4:+$(realpath "$4")}
# Waits scale with the machine: under software emulation everything is
# slower (tools/run32 sets the factor).
scale=${TVK_TIME_SCALE:-1}
readonly kPackageSize=1610612736  # 1.5 GiB
readonly kFileSizeLimitKib=65536  # ulimit -f: far below the package
here=$(cd "$(dirname "$0")" && pwd)

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || fail "no work folder"

# Runs tvkpack (under the runner) with its arguments, saving its output as
# NAME.out; it must succeed within the memory bound.
run() {
    local name=$1
    shift
    if ! timeout $((300 * scale)) /usr/bin/time -f %M -o "$name.kib" $runner "$tvkpack" "$@" \
        >"$name.out" 2>"$name.err"; then
        cat "$name.out" "$name.err" >&2
        fail "tvkpack $* failed"
    fi
    local kib
    kib=$(tail -n 1 "$name.kib")
    echo "$name: peak resident memory $kib KiB"
    [ "$kib" -le "$max_kib" ] || fail "tvkpack $1: peak resident memory $kib KiB, more than $max_kib KiB"
}

python3 "$here/make_large_package.py" "$fixtures/signed_runnable.exe" large.exe "$kPackageSize" ||
    fail "cannot make the large package"
printf '{"product":"Large","seats":3}' >params.json
{ printf '\0\0\1\0' && head -c 4092 /dev/urandom; } >brand.ico
{ printf 'BM' && head -c 20000 /dev/urandom; } >brand.bmp

# The first tag checks the signed file's checksum on the way (the body
# passes through a buffer); the re-tag in place and untag compose theirs
# from the tagged file's (the system copies the body).
run tag tag large.exe -o tagged.exe --params params.json --icon brand.ico --picture brand.bmp
run retag tag tagged.exe -o tagged.exe --params params.json --icon brand.ico --picture brand.bmp
run inspect inspect tagged.exe --json
python3 - inspect.out "$kPackageSize" <<'PY' || fail "inspect does not show the package as tagged"
import json
import sys

report = json.load(open(sys.argv[1]))
layout = report["layout"]
assert report["stub_would_run"], report["problem"]
assert report["file_size"] > int(sys.argv[2]), report["file_size"]
assert layout["checksum_stored"] == layout["checksum_computed"] != 0, layout
assert report["picture_file_size"] == 20002 and report["icon_file_size"] == 4096, report
PY
run untag untag tagged.exe -o untagged.exe
cmp untagged.exe large.exe || fail "untag did not give back the package byte for byte"
rm -f untagged.exe

# A write that fails leaves the target alone. Ignoring SIGXFSZ makes the
# write that reaches the limit fail (as a full disk fails it) rather than
# end the process.
printf 'the previous package\n' >target.exe
(
    ulimit -f "$kFileSizeLimitKib"
    trap '' XFSZ
    exec timeout $((300 * scale)) $runner "$tvkpack" tag large.exe -o target.exe --params params.json
) >limited.out 2>limited.err && fail "tag wrote past the file size limit"
grep -q "cannot write the output" limited.err || { cat limited.out limited.err >&2; fail "tag did not say that the write failed"; }
[ "$(cat target.exe)" = "the previous package" ] || fail "the failed tag changed its target"
leftover=$(ls | grep -F 'target.exe.' || true)
[ -z "$leftover" ] || fail "the failed tag left $leftover behind"
echo "PASS"
