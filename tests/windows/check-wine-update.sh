#!/usr/bin/env bash
# One whole update by the Windows program through Wine's winmm, inside a real
# kernel (scripts/lib/kernel-run.sh): Wine reaches MIDI through the ALSA
# sequencer, where the simulated unit (orvik16-devsim --rawmidi) sits behind
# the virtual card's first port, or behind a USB-MIDI interface.
#
#   check-wine-update.sh --exe EXE --devsim BIN --xhelper BIN --wine-run WRAPPER
#       --prefix DIR --winepath PATH --plugin-path PATH --out DIR
#       --kernel-run SCRIPT --kernel-cache DIR [--timeout S] [--busy MS]
#       [--usb-midi PRODUCT]
#
# Wine's windows are not on the accessibility bus, so the window is driven
# from the X server: the ports picked by typing in the lists, the buttons
# clicked where the form puts them, the box read by OCR. Exits 0 when the unit
# reports a matching image and a clean verdict, exactly one box opens and
# reads "transfer successful", and the program ends once its window is
# closed with status 0, or 139 from Wine's own crash at exit alone (see the
# end). With --busy the unit takes MS to erase and MS to finish, and listens
# on after its last answer. Exits 77 (skipped) when the Linux unit or helper
# is missing.
# With --usb-midi the unit sits behind port 1 of a one-port USB-MIDI interface
# of that product name (scripts/lib/usb-midi.sh), which Wine reaches through
# snd-usb-audio and snd-seq-midi, as on a real machine, instead of behind the
# virtual card.
# ORVIK_WINEDEBUG, when set, replaces the WINEDEBUG of Wine's session and of
# the program (their logs are kept in the --out folder).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
args=("$@")
timeout_s=900
busy_ms=
usb_product=
while [ $# -gt 0 ]; do
    case $1 in
    --exe) exe=$2; shift 2 ;;
    --devsim) devsim=$2; shift 2 ;;
    --xhelper) xhelper=$2; shift 2 ;;
    --wine-run) wine_run=$2; shift 2 ;;
    --prefix) prefix=$2; shift 2 ;;
    --winepath) winepath=$2; shift 2 ;;
    --plugin-path) plugin_path=$2; shift 2 ;;
    --out) ORVIK_OUT=$2; shift 2 ;;
    --kernel-run) kernel_run=$2; shift 2 ;;
    --kernel-cache) kernel_cache=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    --busy) busy_ms=$2; shift 2 ;;
    --usb-midi) usb_product=$2; shift 2 ;;
    *) echo "check-wine-update.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

# --- outside: the prefix, then the kernel ----------------------------------
if [ "${ORVIK_IN_KERNEL:-}" != 1 ]; then
    for need in "$devsim" "$xhelper"; do
        if [ ! -x "$need" ]; then
            echo "skipped: needs $need from the Linux debug build (cmake --build --preset debug)"
            exit 77
        fi
    done
    # Made once by the tests' wrapper and shared read-only: a prefix made
    # inside the emulated machine takes minutes.
    "$wine_run" cmd /c exit >/dev/null 2>&1 || { echo "FAIL: the Wine prefix could not be made" >&2; exit 1; }
    mkdir -p "$ORVIK_OUT"
    rm -f "$ORVIK_OUT"/*.png "$ORVIK_OUT"/*.txt "$ORVIK_OUT"/*.log "$ORVIK_OUT"/display
    start=$SECONDS
    usb=()
    [ -n "$usb_product" ] && usb=(--usb 1)
    "$kernel_run" --cache "$kernel_cache" --timeout "$timeout_s" --module overlay "${usb[@]}" \
        --writable "$ORVIK_OUT" -- "$0" "${args[@]}"
    status=$?
    echo "whole run: $((SECONDS - start)) s"
    exit $status
fi

# --- inside the kernel -----------------------------------------------------
. "$source_dir/scripts/lib/session.sh"
. "$source_dir/scripts/lib/ending.sh"
mark() { echo "[$SECONDS s] $*"; }
mark "the command started in the kernel"

wine_cleanup() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
    orvik_cleanup
}
trap wine_cleanup EXIT
trap 'exit 130' INT TERM

# The prepared prefix under a writable layer in memory: Wine writes its
# registry back, and a copy of the whole prefix would cross the share.
export WINEPREFIX=/tmp/wineprefix
mkdir -p /tmp/prefix-upper /tmp/prefix-work "$WINEPREFIX"
mount -t overlay overlay \
    -o "lowerdir=$prefix,upperdir=/tmp/prefix-upper,workdir=/tmp/prefix-work" "$WINEPREFIX" ||
    orvik_fail "cannot put a writable layer over the Wine prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
# CTest hands on the list's separators escaped.
export WINEPATH=${winepath//\\;/;} WINEQT_PLUGIN_PATH=$plugin_path WINEQT_FORCE_STDERR_LOGGING=1

# Every crash in the machine is noted by the kernel, with the name of the
# thread that took the signal; the program's own end is judged on them.
crashes=/tmp/crashes.txt
: >"$crashes"
echo "|$here/note-crash.sh $crashes %p %i %s %e" >/proc/sys/kernel/core_pattern
[ "$(cat /proc/sys/kernel/core_pattern)" = "|$here/note-crash.sh $crashes %p %i %s %e" ] ||
    orvik_fail "the kernel does not take the crash handler (path too long?)"
ulimit -c unlimited

# What the machine looked like when the run failed: where Wine's processes
# wait, its memory, what crashed, the kernel's last words.
orvik_before_fail() {
    {
        echo "--- processes"
        ps -eo pid,ppid,stat,etimes,rss,wchan:24,args
        echo "--- memory"
        free -m
        echo "--- crashes"
        cat "$crashes"
        echo "--- kernel"
        dmesg | tail -n 30
    } >"$ORVIK_OUT/machine.txt" 2>&1
    echo "--- the machine ($ORVIK_OUT/machine.txt)" >&2
    cat "$ORVIK_OUT/machine.txt" >&2
}

ORVIK_API=alsa
orvik_start_xvfb
mark "Xvfb"

# Wine's own processes first, so that the program's start is timed alone,
# kept for the whole run: a session that ends takes them all with it, and
# the next one would start them again.
wineserver -p || orvik_fail "wineserver does not start"
WINEDEBUG=${ORVIK_WINEDEBUG:--all} wine cmd /c exit >"$ORVIK_OUT/wine-start.log" 2>&1 ||
    orvik_fail "Wine does not start"
mark "Wine started"

# Wine's desktop process loads the graphics driver and makes the desktop
# window. The first program to open a window starts it and gives it 10 s;
# when it is later than that, the program's window is never made ("Failed to
# create platform window", "The explorer process failed to start"). Started
# here and waited for instead, as long as it takes.
WINEDEBUG=${ORVIK_WINEDEBUG:--all},trace+explorer wine explorer.exe /desktop \
    >"$ORVIK_OUT/desktop.log" 2>&1 &
ORVIK_PIDS+=($!)
orvik_wait_for "Wine's desktop" 300 grep -q "desktop message loop starting" "$ORVIK_OUT/desktop.log"
mark "Wine's desktop"

# The interface and the unit once Wine runs: the session's start, the slowest
# part of the run, has the machine to itself, and Wine's MIDI driver lists the
# sequencer's ports only when the program first opens MIDI.
unit_device=hw:0,0
# Typing a letter in a list picks the first row that begins with it: Wine
# names the ports after the sequencer's, "VirMIDI 0-0" for the virtual card,
# "PRODUCT MIDI 1" behind an interface, each after "Midi Through".
port_key=v
if [ -n "$usb_product" ]; then
    "$kernel_run" usb-midi add unit "$usb_product" 20260001 1 ||
        orvik_fail "the USB-MIDI interface did not come up"
    unit_device=$("$kernel_run" usb-midi device unit 1)
    port_key=$(printf '%s' "${usb_product:0:1}" | tr '[:upper:]' '[:lower:]')
    mark "the USB-MIDI interface"
fi
devsim_options=(--serial 123456789 --rawmidi "$unit_device")
[ -n "$busy_ms" ] && devsim_options+=(--erase-ms "$busy_ms" --finish-ms "$busy_ms" --linger-ms 7000)
orvik_start_devsim "$devsim" "${devsim_options[@]}"
mark "orvik16-devsim behind $unit_device"

# Once a window has failed for want of the desktop, Wine has made the desktop
# window itself, the desktop process can no longer take it over and exits,
# and no later window of the session can be made: no second try.
title='^Orvik16\(KX/LX\) Update$'
windows() { xdotool search --onlyvisible --name "$title" 2>/dev/null; }
updater_log=$ORVIK_OUT/updater.log
WINEDEBUG=${ORVIK_WINEDEBUG:--all,err+all} wine "$exe" >"$updater_log" 2>&1 &
updater_pid=$!
ORVIK_PIDS+=($updater_pid)
# Polled with its output thrown away: it only says when to stop waiting.
window_or_end() {
    windows >/dev/null || ! kill -0 "$updater_pid" 2>/dev/null ||
        grep -q "Failed to create platform window" "$updater_log"
}
orvik_wait_for "the program's window" 300 window_or_end
kill -0 "$updater_pid" 2>/dev/null || orvik_fail "the program ended before its window showed"
main_window=$(windows | head -n1)
[ -n "$main_window" ] || orvik_fail "Wine made no window for the program"
mark "the window showed"

# The program's end, once its window has gone: how it exited and what crashed.
program_ended() {
    wait "$updater_pid"
    updater_status=$?
    if [ -s "$updater_log" ]; then
        echo "note: the program printed:"
        cat "$updater_log"
    fi
    # Wine 8's ALSA MIDI driver crashes every process that loaded it as the
    # process ends: its notification thread ("winealsa_midi_notify", cut to
    # 15 characters by the kernel) takes a SIGSEGV in Wine's system call
    # dispatcher. A program of a few lines that only counts the MIDI devices
    # and returns does the same. Only that crash passes, and only as the end
    # of a status 139; any other crash of the program, on any thread, fails,
    # as does any other status. A fault in our code, on any thread and even
    # after main has returned, Wine reports as an unhandled exception instead.
    local crashed
    crashed=$(grep "^pid=$updater_pid " "$crashes")
    if [ -n "$crashed" ]; then
        grep -v " signal=11 thread=winealsa_midi_n$" <<<"$crashed" &&
            orvik_fail "orvik16-update.exe crashed"
        [ $updater_status -eq 139 ] || orvik_fail "orvik16-update.exe exited with $updater_status after a crash"
        echo "note: Wine's MIDI driver crashed as the program ended ($crashed)"
    elif [ $updater_status -ne 0 ]; then
        orvik_fail "orvik16-update.exe exited with $updater_status"
    fi
}

log_has() { grep -q "$1" "$ORVIK_OUT/devsim.log"; }
# Where the form puts the buttons, in the window's own coordinates: a
# window of fixed size, which Wine maps as its client area alone.
click() {
    xdotool mousemove --window "$main_window" "$1" "$2" click 1
}
click_connect() { click 237 251; }
click_transfer() { click 317 251; }

# Focus starts on the IN list.
xdotool windowfocus --sync "$main_window" 2>/dev/null
xdotool key --clearmodifiers "$port_key"
xdotool key --clearmodifiers Tab
xdotool key --clearmodifiers "$port_key"
"$xhelper" shot "$ORVIK_OUT/ports.png"

click_connect
orvik_wait_for "the unit's identity answer" 60 log_has "identity request: answered"
mark "connected"
"$xhelper" shot "$ORVIK_OUT/connected.png"

# Transfer is enabled once the identity reply is handled.
end=$((SECONDS + 60))
until log_has "begin update"; do
    [ $SECONDS -ge $end ] && orvik_fail "the unit never received the begin-update command"
    click_transfer
    sleep 0.5
done
mark "update started"
started=$SECONDS

success_box() { windows | grep -vx "$main_window"; }
shown=0 mid_shot=0 gone=
end=$((SECONDS + 900))
until success_box >/dev/null; do
    [ $SECONDS -ge $end ] && orvik_fail "no box after 900 s"
    [ -z "$gone" ] && ! kill -0 "$ORVIK_DEVSIM_PID" 2>/dev/null && gone=$SECONDS
    [ -n "$gone" ] && [ $((SECONDS - gone)) -ge 60 ] && orvik_fail "the unit has finished, but no box came within 60 s"
    kill -0 "$updater_pid" 2>/dev/null || orvik_fail "the program ended mid-update"
    lines=$(grep -c "^progress:" "$ORVIK_OUT/devsim.log")
    if [ "$lines" -gt "$shown" ]; then
        grep "^progress:" "$ORVIK_OUT/devsim.log" | sed -n "$((shown + 1)),${lines}p"
        shown=$lines
    fi
    if [ $mid_shot -eq 0 ] && log_has "blocks 4[0-9][0-9]/880"; then
        "$xhelper" shot "$ORVIK_OUT/mid-transfer.png"
        mid_shot=1
    fi
    sleep 0.5
done
mark "a box opened, $((SECONDS - started)) s after the update started"
[ "$(success_box | wc -l)" -eq 1 ] || orvik_fail "more than one box opened"
box=$(success_box)
# The box alone: OCR finds no text on a screen that is mostly black. Read
# until it says so, as the box may show before it is painted.
text=
read_box() {
    "$xhelper" shot "$ORVIK_OUT/success.png" "$box" &&
        "$xhelper" scale "$ORVIK_OUT/success.png" 3 "$ORVIK_OUT/success-large.png" &&
        tesseract "$ORVIK_OUT/success-large.png" "$ORVIK_OUT/success" >/dev/null 2>&1 || return 1
    text=$(tr '\n' ' ' <"$ORVIK_OUT/success.txt" | tr -s ' ' | tr '[:upper:]' '[:lower:]')
    [[ $text == *"transfer successful"* ]]
}
orvik_within 30 read_box || orvik_fail "the box reads '$text', not that the transfer was successful"
echo "the box reads: $text"
"$xhelper" shot "$ORVIK_OUT/screen.png"

orvik_wait_for "orvik16-devsim to finish" 60 bash -c "! kill -0 $ORVIK_DEVSIM_PID"
wait "$ORVIK_DEVSIM_PID"
devsim_status=$?
grep "^summary:" "$ORVIK_OUT/devsim.log" | tail -n 1
[ $devsim_status -eq 0 ] || orvik_fail "orvik16-devsim exited with $devsim_status"
log_has "image matched" || orvik_fail "the unit did not report a matching image"
orvik_expect_clean_verdict
# The unit listened on after its last answer; still one box.
[ "$(success_box | wc -l)" -eq 1 ] || orvik_fail "a second box opened after the first"

"$xhelper" close "$box"
orvik_wait_for "the box to close" 30 bash -c "! xdotool search --onlyvisible --name '$title' | grep -vx '$main_window'"
"$xhelper" close "$main_window"
orvik_wait_for "the program to exit" 60 bash -c "! kill -0 $updater_pid"
program_ended
mark "the program exited"
echo "PASS: the unit verified the image sent through Wine's winmm, one success box, the program ended once closed"
