#!/usr/bin/env bash
# Runs one whole update with no one at the keyboard: the simulated unit on the
# machine's MIDI system, the real updater on a virtual display, driven by clicks
# at the form's coordinates. Used by the demo when there is no display and by
# the acceptance test.
#
#   drive-update.sh --updater BIN --devsim BIN --xhelper BIN --listports BIN
#                   --out DIR [--midi auto|private-jack] [-- DEVSIM-OPTIONS...]
#
# Exits 0 when the unit reports a complete image that matches, the success box
# appeared, and the updater exited 0 after its window was closed. Leaves
# screenshots (connected, mid-transfer, success) and logs in DIR.
set -uo pipefail

midi=auto
devsim_options=()
while [ $# -gt 0 ]; do
    case $1 in
    --updater) updater=$2; shift 2 ;;
    --devsim) devsim=$2; shift 2 ;;
    --xhelper) xhelper=$2; shift 2 ;;
    --listports) listports=$2; shift 2 ;;
    --out) ORVIK_OUT=$2; shift 2 ;;
    --midi) midi=$2; shift 2 ;;
    --) shift; devsim_options=("$@"); break ;;
    *) echo "drive-update.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

. "$(dirname "$0")/lib/session.sh"
trap orvik_cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$ORVIK_OUT"
rm -f "$ORVIK_OUT"/*.png "$ORVIK_OUT"/*.log "$ORVIK_OUT"/display

orvik_choose_midi "$midi"
orvik_start_xvfb
orvik_start_devsim "$devsim" --serial 123456789 "${devsim_options[@]}"

QT_QPA_PLATFORM=xcb "$updater" >"$ORVIK_OUT/updater.log" 2>&1 &
updater_pid=$!
ORVIK_PIDS+=($updater_pid)

title='^Orvik16\(KX/LX\) Update$'
windows() { xdotool search --onlyvisible --name "$title" 2>/dev/null; }
orvik_wait_for "the updater window" 30 windows
main_window=$(windows | head -n1)

click() { xdotool mousemove --window "$main_window" "$1" "$2" click 1; }
log_has() { grep -q "$1" "$ORVIK_OUT/devsim.log"; }
row_of() { "$listports" | awk -v dir="$1" '$1 == dir && /Orvik16 KX/ { print $2; exit }'; }

# Pick the unit's ports: click the first row of each list, then step down.
in_row=$(row_of in)
out_row=$(row_of out)
[ -n "$in_row" ] && [ -n "$out_row" ] || orvik_fail "the unit's ports are not in the updater's lists"
step_down() { [ "$1" -gt 0 ] && xdotool key --clearmodifiers --repeat "$1" --delay 20 Down; }
click 60 121
step_down "$in_row"
click 320 121
step_down "$out_row"
echo "ports: input row $in_row, output row $out_row"

# Connect: the button's centre in the form (200, 240, 75 x 23).
click 237 251
orvik_wait_for "the identity request to reach the unit" 30 log_has "identity request"
sleep 0.5
"$xhelper" shot "$ORVIK_OUT/connected.png"
echo "connected"

# Update (280, 240, 75 x 23) is enabled once the identity reply is handled,
# so keep clicking until the unit sees the begin-update.
end=$((SECONDS + 30))
until log_has "begin update"; do
    [ $SECONDS -ge $end ] && orvik_fail "the unit never received the begin-update command"
    click 317 251
    sleep 0.5
done
echo "update started"

success_box() { windows | grep -vx "$main_window"; }
shown=0
mid_shot=0
end=$((SECONDS + 900))
until success_box >/dev/null; do
    [ $SECONDS -ge $end ] && orvik_fail "no success box after 900 s"
    lines=$(grep -c "^progress:" "$ORVIK_OUT/devsim.log")
    if [ "$lines" -gt "$shown" ]; then
        grep "^progress:" "$ORVIK_OUT/devsim.log" | sed -n "$((shown + 1)),${lines}p"
        shown=$lines
    fi
    if [ $mid_shot -eq 0 ] && log_has "blocks 4[0-9][0-9]/880"; then
        "$xhelper" shot "$ORVIK_OUT/mid-transfer.png"
        mid_shot=1
    fi
    sleep 0.2
done
box=$(success_box | head -n1)
sleep 0.5
"$xhelper" shot "$ORVIK_OUT/success.png"
echo "success box shown"

xdotool windowfocus --sync "$box" 2>/dev/null
xdotool key Return
orvik_wait_for "orvik16-devsim to finish" 60 bash -c "! kill -0 $ORVIK_DEVSIM_PID"
wait "$ORVIK_DEVSIM_PID"
devsim_status=$?
grep "^summary:" "$ORVIK_OUT/devsim.log" | tail -n 1
[ $devsim_status -eq 0 ] || orvik_fail "orvik16-devsim exited with $devsim_status"
grep -q "image matched" "$ORVIK_OUT/devsim.log" || orvik_fail "the unit did not report a matching image"

orvik_wait_for "the success box to close" 30 bash -c "! xdotool search --onlyvisible --name '$title' | grep -vx '$main_window'"
"$xhelper" close "$main_window"
orvik_wait_for "the updater to exit" 30 bash -c "! kill -0 $updater_pid"
wait "$updater_pid"
updater_status=$?
[ $updater_status -eq 0 ] || orvik_fail "orvik16-update exited with $updater_status"
if [ -s "$ORVIK_OUT/updater.log" ] && grep -qv "XDG_RUNTIME_DIR" "$ORVIK_OUT/updater.log"; then
    echo "note: the updater printed:"; cat "$ORVIK_OUT/updater.log"
fi

echo "PASS: image verified by the unit, success box shown, updater exited 0"
echo "screenshots: $ORVIK_OUT/connected.png $ORVIK_OUT/mid-transfer.png $ORVIK_OUT/success.png"
