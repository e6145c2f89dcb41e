#!/usr/bin/env bash
# Runs a Windows build's tests under Wine, with a persistent Wine server for
# the run (build/PRESET/wine-server), leaving out the checks labelled "host"
# (they need no Wine). 32-bit Wine needs a kernel that executes 32-bit
# programs: run the win32 tests through tools/run32/run32.sh.
#   tools/wine-tests.sh PRESET [CTEST ARGUMENT...]
#   tools/run32/run32.sh --in-memory build/win32 --wine-prefix build/win32/wineprefix \
#       -- tools/wine-tests.sh win32 -R CProcess
set -uo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 1 ]; then
    echo "usage: tools/wine-tests.sh PRESET [CTEST ARGUMENT...]" >&2
    exit 2
fi
preset=$1
shift
"build/$preset/wine-server" start
status=0
ctest --preset "$preset" -LE host "$@" || status=$?
"build/$preset/wine-server" stop
exit "$status"
