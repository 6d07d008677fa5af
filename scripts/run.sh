#!/usr/bin/env bash
# The main job, shown on a machine without an Orvik16 unit: builds Orvik16
# Update and the simulated unit, puts the unit on this machine's MIDI system
# (ALSA where there is a sequencer, else a running JACK server, else a private
# JACK server of its own), and opens the updater. With a display you pick the
# "Orvik16 KX" ports, connect and update; without one, the same runs on a
# virtual display and the clicks are made for you.
#
# Installs what it needs when run as root on Debian 12; otherwise prints the
# apt-get line to run. Everything it starts is stopped again, also on Ctrl-C.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
orvik_ensure_packages "${ORVIK_BUILD_PACKAGES[@]}" jackd2 xvfb xdotool \
    "${ORVIK_ACCESSIBILITY_PACKAGES[@]}"

set -e
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target orvik16-update orvik16-devsim \
    orvik-xhelper orvik-listports
set +e

build=build/release
ORVIK_OUT=$build/demo
mkdir -p "$ORVIK_OUT"

if [ -z "${DISPLAY:-}" ] || ! xdotool getdisplaygeometry >/dev/null 2>&1; then
    echo "No display: running the whole job on a virtual display."
    exec scripts/drive-update.sh --updater "$build/app/orvik16-update" \
        --devsim "$build/tools/devsim/orvik16-devsim" \
        --xhelper "$build/tests/acceptance/orvik-xhelper" \
        --listports "$build/tests/acceptance/orvik-listports" \
        --out "$ORVIK_OUT"
fi

. scripts/lib/session.sh
trap orvik_cleanup EXIT
trap 'exit 130' INT TERM

orvik_choose_midi auto
orvik_start_devsim "$build/tools/devsim/orvik16-devsim" --serve
cat <<TEXT

The simulated unit is ready (serial 123456789, firmware 2.06). In the window:
  1. pick "Orvik16 KX" under MIDI IN port and under MIDI OUT port,
  2. press Connect: the serial number 586-638-764 and version 2.06 appear,
  3. press Update and wait for "transfer successful".
Close the window when you are done. The unit's log: $ORVIK_OUT/devsim.log

TEXT
"$build/app/orvik16-update"
status=$?
kill -INT "$ORVIK_DEVSIM_PID" 2>/dev/null
wait "$ORVIK_DEVSIM_PID" 2>/dev/null
echo "What the simulated unit saw:"
grep "^summary:" "$ORVIK_OUT/devsim.log" || echo "  no update was run"
exit $status
