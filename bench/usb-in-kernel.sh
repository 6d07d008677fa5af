#!/usr/bin/env bash
# The benchmark's USB figure. Boots the kernel of scripts/lib/kernel-run.sh
# with one software USB controller, makes a two-port USB-MIDI interface
# "Zelvo 2x2", puts the simulated unit behind its port 2 (orvik16-devsim
# --rawmidi on the device side, serving update after update) and runs
# orvik16-bench --alsa-peers inside: the bare host and the window, each a
# process of its own, taking turns, every message through the sequencer,
# snd-usb-audio, the USB stack and usb_f_midi.
#
#   bench/usb-in-kernel.sh [--smoke] [--runs N] [--messages n] [--out DIR]
#       [--bench PATH] [--devsim PATH] [--cache DIR] [--timeout S]
#
# --smoke: 300 messages, one run of each (the CTest smoke). Otherwise whole
# updates, --runs of each (default 3). --bench and --devsim default to the
# release build, else the debug build, of this tree; --cache is
# kernel-run.sh's. Prints the benchmark's table, then the unit's account of
# the interface and its verdict; leaves the table, its JSON and the unit's
# log in DIR (default build/bench-usb). Exits with the benchmark's status,
# or 1 when the unit's verdict is not clean.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/.." && pwd)
kernel_run=$source_dir/scripts/lib/kernel-run.sh

product="Zelvo 2x2"
port=2
unit_port="$product MIDI $port"

# --- inside the kernel -----------------------------------------------------
if [ "${1:-}" = --inside ]; then
    shift
    bench=$1 devsim=$2 out=$3
    shift 3
    "$kernel_run" usb-midi add unit "$product" 20260001 2 >"$out/interface.txt" ||
        { echo "usb-in-kernel: cannot make the USB-MIDI interface" >&2; exit 1; }
    device=$("$kernel_run" usb-midi device unit "$port")
    rm -f "$out/devsim.ready"
    # The bench's own serial number: the bare host sends an update made for it.
    "$devsim" --rawmidi "$device" --serial 123456789 --serve --quiet \
        --ready-file "$out/devsim.ready" >"$out/devsim.log" 2>&1 &
    devsim_pid=$!
    for _ in $(seq 300); do
        [ -e "$out/devsim.ready" ] && break
        kill -0 "$devsim_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -e "$out/devsim.ready" ]; then
        echo "usb-in-kernel: the unit did not come up behind $device:" >&2
        cat "$out/devsim.log" >&2
        exit 1
    fi
    status=0
    QT_QPA_PLATFORM=offscreen "$bench" --alsa-peers --unit-port "$unit_port" \
        --unit-log "$out/devsim.log" --json "$out/report.json" "$@" >"$out/report.txt" ||
        status=$?
    # The unit's verdict comes when it stops.
    kill -TERM "$devsim_pid" 2>/dev/null || true
    for _ in $(seq 150); do
        kill -0 "$devsim_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$devsim_pid" 2>/dev/null || true
    wait "$devsim_pid" 2>/dev/null || true
    cat "$out/report.txt"
    echo
    echo "the unit behind port $port of \"$product\" (${device}):"
    grep -E '^(interface|verdict):' "$out/devsim.log" | sed 's/^/   /' || true
    if ! grep -qx 'verdict: clean' "$out/devsim.log"; then
        echo "usb-in-kernel: the unit's verdict is not clean" >&2
        [ $status -ne 0 ] || status=1
    fi
    exit $status
fi

# --- outside: options ------------------------------------------------------
smoke=
runs=3
messages=
out=$source_dir/build/bench-usb
bench=
devsim=
cache=
timeout_s=
while [ $# -gt 0 ]; do
    case $1 in
    --smoke) smoke=1; shift ;;
    --runs) runs=$2; shift 2 ;;
    --messages) messages=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --bench) bench=$2; shift 2 ;;
    --devsim) devsim=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    *) echo "usb-in-kernel: unknown option $1" >&2; exit 2 ;;
    esac
done
for build in release debug; do
    [ -n "$bench" ] || [ ! -x "$source_dir/build/$build/bench/orvik16-bench" ] ||
        bench=$source_dir/build/$build/bench/orvik16-bench
done
[ -n "$bench" ] || { echo "usb-in-kernel: no orvik16-bench built; give --bench" >&2; exit 2; }
[ -n "$devsim" ] || devsim=$(dirname "$bench")/../tools/devsim/orvik16-devsim
[ -x "$devsim" ] || { echo "usb-in-kernel: no orvik16-devsim at $devsim; give --devsim" >&2; exit 2; }
bench=$(cd "$(dirname "$bench")" && pwd)/$(basename "$bench")
devsim=$(cd "$(dirname "$devsim")" && pwd)/$(basename "$devsim")

bench_args=()
if [ -n "$smoke" ]; then
    bench_args+=(--smoke)
    runs=1
    messages=${messages:-300}
else
    bench_args+=(--runs "$runs")
fi
[ -z "$messages" ] || bench_args+=(--messages "$messages")
# Room for the boot, the interface and a slow machine: emulated, a message
# takes some 20 to 50 ms at load, and the window a minute to start.
if [ -z "$timeout_s" ]; then
    per_run=$((60 + ${messages:-6160} / 10))
    timeout_s=$((180 + 2 * runs * per_run))
fi

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/report.txt "$out"/report.json "$out"/devsim.log "$out"/interface.txt
cache_args=()
[ -z "$cache" ] || cache_args=(--cache "$cache")
exec "$kernel_run" --usb 1 --timeout "$timeout_s" --writable "$out" "${cache_args[@]}" \
    -- "$here/usb-in-kernel.sh" --inside "$bench" "$devsim" "$out" "${bench_args[@]}"
