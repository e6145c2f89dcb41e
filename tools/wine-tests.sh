#!/usr/bin/env bash
# Runs a Windows build's tests under Wine, with a persistent Wine server for
# the run (build/PRESET/wine-server), leaving out the checks labelled "host"
# (they need no Wine). 32-bit Wine needs a kernel that executes 32-bit
# programs: run the win32 tests through tools/run32/run32.sh.
#   tools/wine-tests.sh PRESET [CTEST ARGUMENT...]
#   tools/run32/run32.sh --in-memory build/win32 --wine-prefix build/win32/wineprefix \
#       -- tools/wine-tests.sh win32 -R CProcess
#
# A test program that fails without having written a single line never
# reached its main function: Wine failed to start it (seen in CI, with
# nothing on stderr either). Such a test, and only such a
# test, runs once more and is named on stderr; a test that failed with output
# of its own fails the run as it is.
set -uo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 1 ]; then
    echo "usage: tools/wine-tests.sh PRESET [CTEST ARGUMENT...]" >&2
    exit 2
fi
preset=$1
shift
report="build/$preset/wine-tests.xml"
rm -f "$report"
"build/$preset/wine-server" start
status=0
ctest --preset "$preset" -LE host --output-junit "$PWD/$report" "$@" || status=$?
if [ "$status" -ne 0 ] && [ -f "$report" ]; then
    # The failed tests, and whether each wrote anything: "silent NAME" or
    # "spoke NAME", one a line.
    verdicts=$(python3 - "$report" <<'PY'
import sys
import xml.etree.ElementTree as ET
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    if case.get("status") != "fail":
        continue
    out = case.findtext("system-out") or ""
    print(("spoke " if out.strip() else "silent ") + case.get("name"))
PY
    ) || verdicts="spoke (the report could not be read)"
    if [ -n "$verdicts" ] && ! grep -q '^spoke ' <<<"$verdicts"; then
        silent=$(sed 's/^silent //' <<<"$verdicts")
        echo "wine-tests: failed without a line of output (Wine did not start them), running once more:" >&2
        sed 's/^/  /' <<<"$silent" >&2
        status=0
        ctest --preset "$preset" -LE host --rerun-failed "$@" || status=$?
    fi
fi
"build/$preset/wine-server" stop
exit "$status"
