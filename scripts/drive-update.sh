#!/usr/bin/env bash
# Runs one whole update with no one at the keyboard: the simulated unit on the
# machine's MIDI system, the real updater on a virtual display, driven as a
# screen-reader user would: controls found by name on a private accessibility
# bus (scripts/lib/atspi-window.py), ports picked with the keyboard. Used by
# the demo when there is no display and by the acceptance test.
#
#   drive-update.sh --updater BIN --devsim BIN --xhelper BIN --listports BIN
#                   --out DIR [--midi auto|private-jack] [--kill devsim|jack|card]
#                   [--unit-port NAME]
#                   [--usb-midi PRODUCT [--usb-ports N] [--usb-port K] [--usb-twin]]
#                   [--busy MS | --unconfirmed] [--sleep-standin BIN] [--close-midway]
#                   [--restart-into VERSION] [-- DEVSIM-OPTIONS...]
#
# Exits 0 when the controls carry their names on the bus, the serial number and
# version read there are the unit's, the unit reports a complete image that
# matches, the success box said so on the bus, and the updater exited 0 after
# its window was closed. Leaves screenshots (connected, mid-transfer, success)
# and logs in DIR.
#
# With --kill, the simulated unit or the (private) JACK server is killed with
# SIGKILL some twenty blocks into the update instead, as a cable pulled or a
# crashed MIDI system would leave it. With --kill card, inside the kernel of
# scripts/lib/kernel-run.sh, the virtual sound card the unit sits behind
# (devsim --rawmidi) is unplugged instead, as a USB interface pulled out would
# be, and plugged in again after the 8 s. Exits 0 when the updater's window then
# keeps answering across a watchdog resend, the updater exits 0 once the
# window is closed, and it printed nothing but what the toolkit prints. With
# --kill card the window must also say that the interface has gone, and the
# same update must then finish once it is back: image matched, verdict clean.
# Screenshots: connected, mid-transfer (just before the kill), after-kill.
#
# The unit is strict: a complete run also needs its verdict clean. With
# --busy, the unit takes MS to erase and MS to write and check, and listens
# on after its last answer: nothing may reach it meanwhile, and exactly one
# success box may open. With --unconfirmed, the unit never answers the last
# commit: the box that follows, read off the screen, must say that the last
# block was not confirmed.
#
# With --restart-into, the unit starts on firmware 1.00 and, 6 s after its
# last answer, restarts into VERSION, the built-in image's: once the success
# box is closed, the window must show VERSION in its version field and say
# below its buttons that the unit runs it.
#
# With --sleep-standin, the updater runs on a private message bus where that
# program stands in for the desktop portal: the machine must be kept awake
# from Update until the success box (or, with --kill, until the window
# closes). With --close-midway, the window is asked to close half-way through
# the update; it must ask first, and keeping the default answer (Return)
# must let the update complete.
#
# --unit-port names the unit's ports in the updater's lists (default
# "Orvik16 KX", the simulator's own); behind a card they are the card's. It
# picks the first row that contains it, so a part of the name that no other
# port has is enough.
#
# With --usb-midi, inside the kernel of scripts/lib/kernel-run.sh started with
# --usb, the unit sits behind port K (default 1) of a USB-MIDI interface of N
# ports (default 1) named PRODUCT, made for the run: the updater meets it
# through snd-usb-audio and snd-seq-midi as it meets a real interface, and
# --unit-port defaults to the port's name, "PRODUCT MIDI K". --kill card then
# pulls that interface's cable instead of unplugging the virtual card. With
# --usb-twin (and --usb 2), a second interface identical to the unit's, its
# twin, is plugged in after it and stays: every row of both lists, read on
# the bus, must differ from every other, the unit's ports are picked on its
# own interface, and with --kill card the update must end on that interface
# with exactly one box.
set -uo pipefail

# Everything below on a session bus of its own, which starts the
# accessibility bus and its registry on demand and takes them down at the end.
if [ -z "${ORVIK_PRIVATE_BUS:-}" ]; then
    ORVIK_PRIVATE_BUS=1 exec dbus-run-session -- "$0" "$@"
fi

midi=auto
kill_target=
busy_ms=
ending=complete
sleep_standin=
close_midway=
restart_into=
unit_port=
usb_product=
usb_ports=1
usb_port=1
usb_twin=
devsim_options=()
while [ $# -gt 0 ]; do
    case $1 in
    --updater) updater=$2; shift 2 ;;
    --devsim) devsim=$2; shift 2 ;;
    --xhelper) xhelper=$2; shift 2 ;;
    --listports) listports=$2; shift 2 ;;
    --out) ORVIK_OUT=$2; shift 2 ;;
    --midi) midi=$2; shift 2 ;;
    --kill) kill_target=$2; shift 2 ;;
    --busy) busy_ms=$2; shift 2 ;;
    --unconfirmed) ending=unconfirmed; shift ;;
    --sleep-standin) sleep_standin=$2; shift 2 ;;
    --close-midway) close_midway=1; shift ;;
    --restart-into) restart_into=$2; shift 2 ;;
    --unit-port) unit_port=$2; shift 2 ;;
    --usb-midi) usb_product=$2; shift 2 ;;
    --usb-ports) usb_ports=$2; shift 2 ;;
    --usb-port) usb_port=$2; shift 2 ;;
    --usb-twin) usb_twin=1; shift ;;
    --) shift; devsim_options=("$@"); break ;;
    *) echo "drive-update.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

case $kill_target in
'' | devsim) ;;
jack)
    # Never a server that others use.
    [ "$midi" = private-jack ] || { echo "drive-update.sh: --kill jack needs --midi private-jack" >&2; exit 2; }
    ;;
card)
    [ "${ORVIK_IN_KERNEL:-}" = 1 ] || { echo "drive-update.sh: --kill card works only in scripts/lib/kernel-run.sh" >&2; exit 2; }
    ;;
*) echo "drive-update.sh: --kill takes devsim, jack or card" >&2; exit 2 ;;
esac
if [ -n "$usb_product" ]; then
    [ "${ORVIK_IN_KERNEL:-}" = 1 ] || { echo "drive-update.sh: --usb-midi works only in scripts/lib/kernel-run.sh" >&2; exit 2; }
    [ -n "$unit_port" ] || unit_port="$usb_product MIDI $usb_port"
fi
[ -z "$usb_twin" ] || [ -n "$usb_product" ] || { echo "drive-update.sh: --usb-twin needs --usb-midi" >&2; exit 2; }
[ -n "$unit_port" ] || unit_port="Orvik16 KX"
kernel_run=$(dirname "$0")/lib/kernel-run.sh

# The unit logs progress only every 88 blocks; a "late" answer with no delay
# changes nothing on the wire but is logged as it happens, so it marks the
# moment to kill: message 140 is block 19's commit on a clean run.
kill_message=140
if [ -n "$kill_target" ]; then
    devsim_options=(--fault "late@$kill_message" --late-ms 0 "${devsim_options[@]}")
fi
# Past the end, a watchdog's period and a little more: the time in which a
# tool out of step would send again.
[ -n "$busy_ms" ] && devsim_options=(--erase-ms "$busy_ms" --finish-ms "$busy_ms" --linger-ms 7000 "${devsim_options[@]}")
[ $ending = unconfirmed ] && devsim_options=(--no-final-answer --linger-ms 600000 "${devsim_options[@]}")
[ -n "$restart_into" ] && devsim_options=(--firmware 1.00 --reboot-ms 6000 --new-version "$restart_into" "${devsim_options[@]}")

. "$(dirname "$0")/lib/session.sh"
. "$(dirname "$0")/lib/ending.sh"
trap orvik_cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$ORVIK_OUT"
rm -f "$ORVIK_OUT"/*.png "$ORVIK_OUT"/*.log "$ORVIK_OUT"/display

orvik_choose_midi "$midi"
if [ -n "$usb_product" ]; then
    "$kernel_run" usb-midi add unit "$usb_product" 20260001 "$usb_ports" ||
        orvik_fail "cannot make the USB-MIDI interface"
    devsim_options=(--rawmidi "$("$kernel_run" usb-midi device unit "$usb_port")" "${devsim_options[@]}")
    # Found on the sequencer by its card's long name, which carries the USB
    # socket it is plugged into: the twin's names are the same.
    unit_card=$("$kernel_run" usb-midi show unit | sed -n 's/^host: card \([0-9]*\) .*/\1/p')
    unit_card=$(awk -v n="$unit_card" '$1 == n && $2 ~ /^\[/ { getline; sub(/^ +/, ""); print; exit }' /proc/asound/cards)
    [ -n "$unit_card" ] || orvik_fail "the unit's interface has no card in /proc/asound/cards"
    echo "the unit's interface: $unit_card"
    if [ -n "$usb_twin" ]; then
        # The same product, serial number and ports: only the socket differs.
        "$kernel_run" usb-midi add twin "$usb_product" 20260001 "$usb_ports" ||
            orvik_fail "cannot make the twin USB-MIDI interface"
    fi
fi
orvik_start_xvfb
orvik_start_devsim "$devsim" --serial 123456789 "${devsim_options[@]}"

# The stand-in portal serves on the private session bus this script runs
# under (the accessibility bus's too); logind is looked for there as well,
# never on the machine's system bus.
standin_has() { grep -q "$1" "$ORVIK_OUT/standin.log"; }
if [ -n "$sleep_standin" ]; then
    export DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS
    "$sleep_standin" --portal </dev/null >"$ORVIK_OUT/standin.log" 2>&1 &
    ORVIK_PIDS+=($!)
    orvik_wait_for "the stand-in portal" 10 standin_has '^ready'
fi

QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$updater" >"$ORVIK_OUT/updater.log" 2>&1 &
updater_pid=$!
ORVIK_PIDS+=($updater_pid)

# On any failure while the updater still runs, where each of its threads is:
# a frozen window or a close that never ends shows its cause there.
orvik_before_fail() {
    [ -n "${updater_pid:-}" ] && kill -0 "$updater_pid" 2>/dev/null || return 0
    command -v gdb >/dev/null || return 0
    echo "--- orvik16-update's threads" >&2
    gdb -p "$updater_pid" -batch -ex "thread apply all bt" 2>/dev/null |
        grep -E '^(Thread|#)' >&2
}

title='^Orvik16\(KX/LX\) Update$'
windows() { xdotool search --onlyvisible --name "$title" 2>/dev/null; }
orvik_wait_for "the updater window" 30 windows
main_window=$(windows | head -n1)

atspi() { /usr/bin/python3 "$(dirname "$0")/lib/atspi-window.py" "$@"; }
press() { atspi press "$1"; }
field_is() { [ "$(atspi text "$1")" = "$2" ]; }
log_has() { grep -q "$1" "$ORVIK_OUT/devsim.log"; }

# The unit started with serial 123456789 and its default firmware.
expected_serial=586-638-764
expected_version=2.06
[ -n "$restart_into" ] && expected_version=1.00

orvik_wait_for "the window on the accessibility bus" 30 atspi wait 1
# Under emulation the last controls reach the bus some time after the first.
orvik_within 30 atspi check-names || { atspi check-names; orvik_fail "the window's controls are not named for what they are"; }
# orvik-listports prints "DIRECTION ROW NAME", a tab, and the port's identity,
# which holds its card's long name.
row_of() {
    "$listports" | awk -F '\t' -v dir="$1" -v name="$unit_port" -v card="${unit_card:-}" '
        { split($1, w, " ") }
        w[1] == dir && index($1, name) && (card == "" || index($2, card)) { print w[2]; exit }'
}

# With twin interfaces every name comes twice; what the rows add must tell
# them all apart, and the bus reads them as a screen reader says them.
both_twins_listed() {
    local rows
    rows=$(atspi rows "$1") || return 1
    [ "$(grep -cF "$unit_port" <<<"$rows")" -eq 2 ]
}
rows_differ() {
    local rows same
    rows=$(atspi rows "$1") || orvik_fail "the bus shows no rows in $1"
    echo "$1, as read on the bus:"
    sed 's/^/  /' <<<"$rows"
    same=$(sort <<<"$rows" | uniq -d)
    [ -z "$same" ] || orvik_fail "rows of $1 read the same on the bus: $same"
}
if [ -n "$usb_twin" ]; then
    for list in "MIDI IN port" "MIDI OUT port"; do
        orvik_wait_for "both interfaces' ports in $list" 30 both_twins_listed "$list"
        rows_differ "$list"
    done
fi

# Pick the unit's ports from the keyboard: focus starts on the IN list and Tab
# leads to the OUT list; the bus tells where the keys go before they are sent.
in_row=$(row_of in)
out_row=$(row_of out)
[ -n "$in_row" ] && [ -n "$out_row" ] || orvik_fail "the unit's ports are not in the updater's lists"
# Keys travel through the X server, presses through the bus: each pick is
# seen on the bus before anything else is sent.
pick_row() {
    orvik_wait_for "the keyboard focus on $1" 10 atspi focused "$1"
    xdotool key --clearmodifiers Home
    [ "$2" -gt 0 ] && xdotool key --clearmodifiers --repeat "$2" --delay 20 Down
    orvik_wait_for "row $2 of $1 to be picked" 10 atspi selected "$1" "$2"
}
xdotool windowfocus --sync "$main_window"
pick_row "MIDI IN port" "$in_row"
xdotool key --clearmodifiers Tab
pick_row "MIDI OUT port" "$out_row"
echo "ports: input row $in_row, output row $out_row"

# Connect, once: over JACK on a loaded machine the first message after the
# ports open is now and then lost, and the window asks again every 2 s by
# itself.
press Connect || orvik_fail "no enabled Connect button on the bus"
orvik_wait_for "the unit's identity answer" 30 log_has "identity request: answered"
orvik_within 10 field_is "Serial number" "$expected_serial" ||
    orvik_fail "the bus reads serial number '$(atspi text "Serial number")', not $expected_serial"
field_is "Firmware version" "$expected_version" ||
    orvik_fail "the bus reads firmware version '$(atspi text "Firmware version")', not $expected_version"
"$xhelper" shot "$ORVIK_OUT/connected.png"
echo "connected: serial $expected_serial, version $expected_version, as read on the bus"

# Update is enabled once the identity reply is handled, so keep pressing it
# until the unit sees the begin-update.
end=$((SECONDS + 30))
until log_has "begin update"; do
    [ $SECONDS -ge $end ] && orvik_fail "the unit never received the begin-update command"
    press Update
    sleep 0.5
done
echo "update started"

# Lets the update run to its end, checks the unit's verdict and closes the box.
complete_update() {
    local shown=0 mid_shot=0 lines box devsim_status
    local end=$((SECONDS + 900)) gone=
    until success_box >/dev/null; do
        [ $SECONDS -ge $end ] && orvik_fail "no success box after 900 s"
        # The unit ends once it has the image and has given its last answer.
        [ -z "$gone" ] && ! kill -0 "$ORVIK_DEVSIM_PID" 2>/dev/null && gone=$SECONDS
        [ -n "$gone" ] && [ $((SECONDS - gone)) -ge 60 ] && orvik_fail "the unit has finished, but no box came within 60 s"
        lines=$(grep -c "^progress:" "$ORVIK_OUT/devsim.log")
        if [ "$lines" -gt "$shown" ]; then
            grep "^progress:" "$ORVIK_OUT/devsim.log" | sed -n "$((shown + 1)),${lines}p"
            shown=$lines
        fi
        if [ $mid_shot -eq 0 ] && log_has "blocks 4[0-9][0-9]/880"; then
            "$xhelper" shot "$ORVIK_OUT/mid-transfer.png"
            mid_shot=1
            [ -n "$close_midway" ] && close_and_keep_updating
        fi
        # Seldom: see orvik_wait_during_update.
        sleep 1
    done
    orvik_wait_for "the message box on the bus" 10 atspi box-text
    box=$(atspi box-text)
    [[ $box == "transfer successful"* ]] || orvik_fail "the box reads '$box' on the bus"
    sleep 0.5
    "$xhelper" shot "$ORVIK_OUT/success.png"
    echo "success box shown; the bus reads: $box"

    press_ok() { atspi box-press OK; }
    orvik_wait_for "the box's OK button" 10 press_ok
    orvik_wait_for "orvik16-devsim to finish" 60 bash -c "! kill -0 $ORVIK_DEVSIM_PID"
    wait "$ORVIK_DEVSIM_PID"
    devsim_status=$?
    grep "^summary:" "$ORVIK_OUT/devsim.log" | tail -n 1
    [ $devsim_status -eq 0 ] || orvik_fail "orvik16-devsim exited with $devsim_status"
    grep -q "image matched" "$ORVIK_OUT/devsim.log" || orvik_fail "the unit did not report a matching image"
    log_has "^last commit: confirmed" || orvik_fail "the box says success, but the unit never confirmed the last commit"

    orvik_wait_for "the success box to close" 30 bash -c "! xdotool search --onlyvisible --name '$title' | grep -vx '$main_window'"
}

now_ms() {
    local us=${EPOCHREALTIME//[.,]/}
    echo $((us / 1000))
}

# Takes the unit or the MIDI system away mid-transfer. The updater cannot
# tell: it hears silence, and its watchdog sends the block again into
# nothing after 5 to 6 s. No event marks that resend from outside, so the
# window is watched for 8 s after the kill, which spans the first one.
vanish_mid_transfer() {
    orvik_wait_during_update "message $kill_message to reach the unit" 300 log_has "^message $kill_message: injected"
    "$xhelper" shot "$ORVIK_OUT/mid-transfer.png"
    case $kill_target in
    devsim)
        kill -KILL "$ORVIK_DEVSIM_PID"
        wait "$ORVIK_DEVSIM_PID" 2>/dev/null
        ;;
    jack) orvik_kill_jack ;;
    card)
        if [ -n "$usb_product" ]; then
            "$kernel_run" unplug unit || orvik_fail "cannot pull the USB interface's cable"
        else
            "$kernel_run" unplug || orvik_fail "cannot unplug the virtual card"
        fi
        ;;
    esac
    echo "killed $kill_target after message $kill_message"

    local until_ms=$(($(now_ms) + 8000)) pings=0
    while [ "$(now_ms)" -lt $until_ms ]; do
        if ! "$xhelper" ping "$main_window" 10; then
            kill -0 "$updater_pid" 2>/dev/null || break
            orvik_fail "the updater's window stopped answering"
        fi
        pings=$((pings + 1))
        sleep 0.5
    done
    if ! kill -0 "$updater_pid" 2>/dev/null; then
        wait "$updater_pid"
        orvik_fail "orvik16-update ended on its own with status $? after $kill_target went away"
    fi
    "$xhelper" shot "$ORVIK_OUT/after-kill.png"
    echo "window answered $pings pings in the 8 s after the kill"
    if [ "$kill_target" = card ]; then
        local line
        line=$(atspi label-with "interface has gone") ||
            orvik_fail "the window does not say that the MIDI interface has gone"
        echo "the window says: $line"
        # The card comes back once nothing holds it, and the window lives on.
        if [ -n "$usb_product" ]; then
            # Back once the host has enumerated it again.
            "$kernel_run" plug unit || orvik_fail "cannot plug the USB interface in again"
        else
            "$kernel_run" plug || orvik_fail "cannot plug the virtual card in again"
            orvik_wait_for "the card to come back" 30 test -e /dev/snd/midiC0D0
        fi
        "$xhelper" ping "$main_window" 10 ||
            orvik_fail "the updater's window stopped answering when the card came back"
        echo "card plugged in again"
    fi
}

# What the toolkit prints on its own: QStandardPaths' note that a bare display
# has no XDG_RUNTIME_DIR, and the xcb platform plugin's categorised messages
# (qt.qpa.*). Anything else (the updater's own words, libjack's or RtMidi's
# console chatter, a sanitizer's report) is not the toolkit's.
foreign_lines() {
    grep -v -e '^QStandardPaths: ' -e '^qt\.qpa\.' "$ORVIK_OUT/updater.log"
}

success_box() { windows | grep -vx "$main_window"; }

# A window manager's close request mid-update opens a question instead of
# ending the program; its default answer keeps the update going.
close_and_keep_updating() {
    "$xhelper" close "$main_window"
    orvik_wait_for "the question before closing" 10 success_box
    local question
    question=$(success_box | head -n1)
    "$xhelper" shot "$ORVIK_OUT/close-question.png"
    kill -0 "$updater_pid" 2>/dev/null || orvik_fail "the updater ended on a close request mid-update"
    xdotool windowfocus --sync "$question" 2>/dev/null
    xdotool key Return
    orvik_wait_for "the question to go" 10 bash -c "! xdotool search --onlyvisible --name '$title' | grep -qx '$question'"
    echo "close request mid-update: asked first, kept updating"
}

# Closes the window; mid-update the question is answered with Close anyway
# (Alt+C), as someone who means it would.
close_window() {
    "$xhelper" close "$main_window"
    if [ -n "$kill_target" ] && orvik_within 10 success_box; then
        xdotool windowfocus --sync "$(success_box | head -n1)" 2>/dev/null
        xdotool key alt+c
    fi
}

if [ -n "$kill_target" ]; then
    vanish_mid_transfer
    if [ "$kill_target" = card ]; then
        # The unit kept its place behind the interface: the same update ends.
        complete_update
        orvik_expect_clean_verdict
        log_has "^raw MIDI device back" || orvik_fail "the unit never heard from the card again"
        [ -z "$(success_box)" ] || orvik_fail "a second box opened after the success box"
    fi
elif [ $ending = unconfirmed ]; then
    orvik_unconfirmed_end
else
    complete_update
    orvik_expect_clean_verdict
    # The unit listened on after its last answer; no second box came meanwhile.
    [ -z "$(success_box)" ] || orvik_fail "a second box opened after the success box"
    if [ -n "$restart_into" ]; then
        grep -q "^after the restart: [1-9]" "$ORVIK_OUT/devsim.log" ||
            orvik_fail "the window never asked the restarted unit who it is"
        orvik_within 10 field_is "Firmware version" "$restart_into" ||
            orvik_fail "after the restart the bus reads firmware version '$(atspi text "Firmware version")', not $restart_into"
        line=$(atspi label-with "now runs firmware") ||
            orvik_fail "the window does not say that the unit now runs the image's firmware"
        "$xhelper" shot "$ORVIK_OUT/restarted.png"
        echo "after the restart the bus reads version $restart_into and: $line"
    fi
fi

if [ -n "$sleep_standin" ]; then
    standin_has "^portal inhibit flags=12 " || orvik_fail "the machine was not kept awake during the update"
    if [ -z "$kill_target" ]; then
        standin_has "^portal release" || orvik_fail "the machine was still kept awake after the update"
    fi
fi
close_window
orvik_wait_for "the updater to exit" 30 bash -c "! kill -0 $updater_pid"
wait "$updater_pid"
updater_status=$?
[ $updater_status -eq 0 ] || orvik_fail "orvik16-update exited with $updater_status"
if [ -n "$sleep_standin" ]; then
    orvik_wait_for "the machine to be let sleep" 10 standin_has "^portal release"
    echo "kept awake from Update to the end: $(grep -c '^portal' "$ORVIK_OUT/standin.log") portal calls"
fi
if foreign_lines >/dev/null; then
    if [ -n "$kill_target" ]; then
        echo "the updater printed, beside the toolkit's lines:" >&2
        foreign_lines >&2
        orvik_fail "the updater printed more than the toolkit's own lines"
    fi
    echo "note: the updater printed:"; cat "$ORVIK_OUT/updater.log"
fi

if [ $ending = unconfirmed ]; then
    echo "PASS: the unconfirmed last block was reported as such, and the updater exited 0"
    echo "screenshot: $ORVIK_OUT/unconfirmed.png, its text: $ORVIK_OUT/unconfirmed.txt"
elif [ "$kill_target" = card ]; then
    echo "PASS: the update went on once the card was back, image verified, updater exited 0"
    echo "screenshots: $ORVIK_OUT/mid-transfer.png $ORVIK_OUT/after-kill.png $ORVIK_OUT/success.png"
elif [ -n "$kill_target" ]; then
    echo "PASS: the updater kept answering after $kill_target went away and exited 0 when closed"
    echo "screenshots: $ORVIK_OUT/connected.png $ORVIK_OUT/mid-transfer.png $ORVIK_OUT/after-kill.png"
else
    echo "PASS: image verified by the unit, success box shown, updater exited 0"
    echo "screenshots: $ORVIK_OUT/connected.png $ORVIK_OUT/mid-transfer.png $ORVIK_OUT/success.png"
fi
