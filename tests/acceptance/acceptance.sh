#!/usr/bin/env bash
# The product as a user runs it: a private JACK server with the dummy driver,
# orvik16-devsim on virtual JACK ports, the real orvik16-update on a virtual X
# display, driven by clicks at the form's coordinates.
#
#   acceptance.sh UPDATER DEVSIM XHELPER OUTDIR
#
# Passes when the simulated unit reports a complete image that matches, the
# success box appeared, and the updater exited 0 after its window was closed.
# Screenshots (connected, mid-transfer, success) are left in OUTDIR.
set -uo pipefail

updater=$1
devsim=$2
xhelper=$3
out=$4

mkdir -p "$out"
rm -f "$out"/*.png "$out"/*.log "$out"/devsim.ready "$out"/display

export JACK_DEFAULT_SERVER="orvik-acceptance-$$"
export JACK_NO_START_SERVER=1

pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for log in "$out"/*.log; do
        echo "--- $log" >&2
        tail -n 20 "$log" >&2
    done
    exit 1
}

# Polls a condition until it holds or the deadline (seconds) passes.
wait_for() {
    local what=$1 deadline=$2
    shift 2
    local end=$((SECONDS + deadline))
    until "$@" >/dev/null 2>&1; do
        if [ $SECONDS -ge $end ]; then
            fail "timed out after ${deadline}s waiting for $what"
        fi
        sleep 0.1
    done
}

# JACK's dummy driver drops MIDI events when it wakes late on an idle virtual
# machine; one busy core keeps it on time. Bounded, and killed at the end.
timeout 900 bash -c 'while :; do :; done' &
pids+=($!)

jackd --no-realtime -d dummy -p 128 -r 48000 >"$out/jackd.log" 2>&1 &
pids+=($!)
wait_for "the JACK server" 30 jack_lsp

Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$out/display" 2>"$out/xvfb.log" &
pids+=($!)
wait_for "the X display" 30 test -s "$out/display"
export DISPLAY=":$(head -n1 "$out/display")"

"$devsim" --api jack --serial 123456789 --ready-file "$out/devsim.ready" >"$out/devsim.log" 2>&1 &
devsim_pid=$!
pids+=($devsim_pid)
wait_for "orvik16-devsim's ports" 30 test -e "$out/devsim.ready"

QT_QPA_PLATFORM=xcb "$updater" >"$out/updater.log" 2>&1 &
updater_pid=$!
pids+=($updater_pid)

title='^Orvik16\(KX/LX\) Update$'
windows() { xdotool search --onlyvisible --name "$title" 2>/dev/null; }
wait_for "the updater window" 30 windows
main_window=$(windows | head -n1)

click() { xdotool mousemove --window "$main_window" "$1" "$2" click 1; }
log_has() { grep -q "$1" "$out/devsim.log"; }

# Connect: the button's centre in the form (200, 240, 75 x 23).
click 237 251
wait_for "the identity request to reach the unit" 30 log_has "identity"
sleep 0.5
"$xhelper" shot "$out/connected.png"

# Update (280, 240, 75 x 23). The button is enabled once the identity reply
# has been handled, so keep clicking until the unit sees the begin-update.
end=$((SECONDS + 30))
until log_has "begin update"; do
    [ $SECONDS -ge $end ] && fail "the unit never received the begin-update command"
    click 317 251
    sleep 0.5
done

wait_for "half of the image" 300 log_has "blocks 4[0-9][0-9]/880"
"$xhelper" shot "$out/mid-transfer.png"

success_box() { windows | grep -vx "$main_window"; }
wait_for "the success box" 600 success_box
box=$(success_box | head -n1)
sleep 0.5
"$xhelper" shot "$out/success.png"

xdotool windowfocus --sync "$box" key Return 2>/dev/null || xdotool key Return
wait_for "orvik16-devsim to finish" 60 bash -c "! kill -0 $devsim_pid"
wait "$devsim_pid"
devsim_status=$?
[ $devsim_status -eq 0 ] || fail "orvik16-devsim exited with $devsim_status (image incomplete or mismatched)"
grep -q "matched" "$out/devsim.log" || fail "orvik16-devsim did not report a matching image"

wait_for "the success box to close" 30 bash -c "! xdotool search --onlyvisible --name '$title' | grep -vx '$main_window'"
"$xhelper" close "$main_window"
wait_for "the updater to exit" 30 bash -c "! kill -0 $updater_pid"
wait "$updater_pid"
updater_status=$?
[ $updater_status -eq 0 ] || fail "orvik16-update exited with $updater_status"

echo "PASS: image verified by the unit, success box shown, updater exited 0"
echo "screenshots: $out/connected.png $out/mid-transfer.png $out/success.png"
grep -E "summary|matched" "$out/devsim.log" | tail -n 1
