# shellcheck shell=bash
# quiet: runs a command (a build step) at low priority, showing its output
# only when it fails. For scripts that source this file:
#   . tools/quiet.sh
#   quiet cmake --build --preset native --target tvkpack
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
