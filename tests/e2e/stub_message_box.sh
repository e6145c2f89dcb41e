#!/bin/bash
# Starts a stub executable under Wine on a virtual display (Xvfb) and checks
# the failure box a user would see: a real window captioned "Error while
# running installer" that carries the expected text, closed from the
# keyboard, after which the stub exits with 1. With "/S" the same stub must
# exit with 1 and show no window at all. Every wait is bounded, and the
# script ends its own display and the stub it started (the prefix's Wine
# server belongs to the test run).
# usage: stub_message_box.sh WINE_RUN STUB.exe "EXPECTED TEXT"
set -u
wine_run=$1
stub=$2
expected=$3
caption="Error while running installer"
# Waits scale with the machine: under software emulation everything is
# slower (tools/run32 sets the factor).
scale=${TVK_TIME_SCALE:-1}
work=$(mktemp -d)
display_number=$((100 + $$ % 400))
export DISPLAY=":$display_number"
export TVK_WINE_DISPLAY=1

fail() {
    echo "FAIL: $*" >&2
    [ -f "$work/trace.log" ] && grep -a MSGBOX "$work/trace.log" | head -5 >&2
    exit 1
}

cleanup() {
    [ -n "${stub_pid:-}" ] && kill "$stub_pid" 2>/dev/null
    [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq $((50 * scale))); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    sleep 0.2
done
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "Xvfb did not start"

# Waits up to $1 seconds for the stub to end; its status lands in $status.
wait_for_stub() {
    for _ in $(seq $(($1 * 10))); do
        if ! kill -0 "$stub_pid" 2>/dev/null; then
            wait "$stub_pid"
            status=$?
            stub_pid=
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# Wine's desktop process takes its display from the program that starts it
# and ends a moment after the last program that uses it: one started without
# a display (by an earlier program of the run) must end before the stub
# starts, or the box would have no display to appear on.
for _ in $(seq $((100 * scale))); do
    pgrep -f 'explorer.exe /desktop' >/dev/null || break
    sleep 0.1
done

# 1. Without "/S": a real, modal box.
WINEDEBUG=+msgbox "$wine_run" "$stub" 2>"$work/trace.log" &
stub_pid=$!
window=
for _ in $(seq $((600 * scale))); do
    window=$(xdotool search --name "^$caption\$" 2>/dev/null | head -1)
    [ -n "$window" ] && break
    kill -0 "$stub_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$window" ]; then
    wait_for_stub 1 && fail "the stub ended with status $status and showed no window" \
        "captioned \"$caption\""
    fail "no window captioned \"$caption\" appeared"
fi
# The window gets its caption before the box has set up its text and
# controls: wait for that (Wine traces it) before reading or pressing keys.
for _ in $(seq $((300 * scale))); do
    grep -aq "MSGBOX_OnInit" "$work/trace.log" && break
    kill -0 "$stub_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$stub_pid" 2>/dev/null || fail "the stub ended while its box was open"
grep -a "MSGBOX_OnInit" "$work/trace.log" | grep -aqF "L\"$expected" ||
    fail "the box does not show \"$expected\""
# A key that reaches the box before it takes input is lost: press again
# until the stub ends, a bounded number of times.
for _ in 1 2 3 4 5; do
    xdotool windowfocus --sync "$window" >/dev/null 2>&1
    xdotool key --window "$window" Return
    wait_for_stub $((6 * scale)) && break
done
[ -z "$stub_pid" ] || fail "the stub did not end after its box was closed"
[ "$status" -eq 1 ] || fail "exit status $status after a failure, not 1"
echo "box: \"$caption\" showing \"$expected\"; closed by keyboard; exit status 1"

# 2. With "/S": no window, exit status 1.
"$wine_run" "$stub" /S 2>/dev/null &
stub_pid=$!
seen=
for _ in $(seq $((300 * scale))); do
    if xdotool search --name "^$caption\$" >/dev/null 2>&1; then
        seen=yes
        break
    fi
    kill -0 "$stub_pid" 2>/dev/null || break
    sleep 0.1
done
[ -z "$seen" ] || fail "a window appeared with /S"
wait_for_stub $((30 * scale)) || fail "the silent stub did not end"
[ "$status" -eq 1 ] || fail "exit status $status with /S, not 1"
echo "silent: no window; exit status 1"
