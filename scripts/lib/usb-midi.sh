#!/usr/bin/env bash
# USB-MIDI interfaces inside the kernel of kernel-run.sh (run with --usb N):
# each a gadget with the kernel's MIDI function (usb_f_midi) on one of the N
# software USB controllers of dummy_hcd, which the machine's own USB host
# enumerates and snd-usb-audio takes as it takes any class-compliant
# interface. The host side is what a program meets on the sequencer (through
# snd-seq-midi); the gadget's own sound card, the "device side", is where the
# units plugged into the interface's ports sit: a raw MIDI device whose
# subdevice N-1 is the interface's port N. Called through kernel-run.sh:
#
#   kernel-run.sh usb-midi add NAME PRODUCT SERIAL PORTS [MANUFACTURER]
#       Makes interface NAME (letters and digits, at most 10) with that
#       product name, serial number and number of ports in each direction,
#       plugs it in, waits until the host has made its card, and shows it.
#   kernel-run.sh usb-midi show NAME
#       One line for the host's card, one for each port's device side:
#           host: card 2 "Zelvo 2x2" hw:2,0
#           port 2: hw:1,0,1 hw:fmidiNAME,0,1
#       The second device name names the card by its id, which stays the
#       same when the interface is plugged in again; the index may not.
#   kernel-run.sh usb-midi device NAME PORT
#       The device side of port PORT by the card's id (hw:fmidiNAME,0,PORT-1),
#       for the simulated unit (orvik16-devsim --rawmidi) to open.
#   kernel-run.sh usb-midi unplug NAME | plug NAME
#       (also kernel-run.sh unplug NAME | plug NAME)
#       Unbinds the gadget from its controller, which the host sees as the
#       cable pulled, or binds it again. Unbinding also takes the device side
#       away: the gadget's card goes with its function and a new one is made
#       on the next plug.
#
# Card indices are the kernel's to give: everything is found again in sysfs
# and /proc/asound each time.
set -euo pipefail

gadgets=/sys/kernel/config/usb_gadget
state=/run/orvik-usb-midi

die() {
    echo "usb-midi: $*" >&2
    exit 1
}

[ "${ORVIK_IN_KERNEL:-}" = 1 ] || die "works only inside scripts/lib/kernel-run.sh"
[ -d "$gadgets" ] || die "no USB gadgets here: run kernel-run.sh with --usb N"

valid_name() {
    [[ $1 =~ ^[A-Za-z0-9]{1,10}$ ]] || die "interface name '$1' must be 1 to 10 letters or digits"
}

# within SECONDS COMMAND...: polls until the command succeeds.
within() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.1
    done
}

udc_of() { cat "$state/$1.udc" 2>/dev/null || die "no interface $1"; }

# The card whose device lies under the given platform device.
card_under() {
    local card dev
    for card in /sys/class/sound/card*; do
        [ -e "$card/device" ] || continue
        dev=$(readlink -f "$card/device")
        case $dev in
        */"$1"/*) echo "${card##*/card}"; return 0 ;;
        esac
    done
    return 1
}

host_card() { card_under "$(udc_of "$1" | sed 's/dummy_udc/dummy_hcd/')"; }

device_card() {
    local link
    link=$(readlink "/proc/asound/fmidi$1" 2>/dev/null) || return 1
    echo "${link#card}"
}

# Plugged in once the host's driver has made the card's MIDI device and the
# gadget's card is there: snd-seq-midi made both sequencer clients with them.
plugged_in() {
    local host device
    host=$(host_card "$1") && device=$(device_card "$1") &&
        [ -e "/dev/snd/midiC${host}D0" ] && [ -e "/dev/snd/midiC${device}D0" ]
}

show() {
    local host device ports p
    host=$(host_card "$1") || die "interface $1 is not plugged in"
    device=$(device_card "$1") || die "interface $1 has no device side"
    ports=$(cat "$state/$1.ports")
    echo "host: card $host \"$(cat "/sys/class/sound/card$host/device/../product" 2>/dev/null ||
        cat "$gadgets/$1/strings/0x409/product")\" hw:$host,0"
    for p in $(seq "$ports"); do
        echo "port $p: hw:$device,0,$((p - 1)) hw:fmidi$1,0,$((p - 1))"
    done
}

plug() {
    local name=$1 pid
    # The unbinding of an unplug ends once every program has let go of the
    # gadget's card.
    pid=$(cat "$state/$name.unplugging" 2>/dev/null || true)
    if [ -n "$pid" ]; then
        within 30 bash -c "! kill -0 $pid 2>/dev/null" ||
            die "interface $name is still held by a program 30 s after it was unplugged"
        rm -f "$state/$name.unplugging"
    fi
    udc_of "$name" >"$gadgets/$name/UDC"
    # Enumeration under emulation on a loaded machine: a few seconds.
    within 60 plugged_in "$name" || die "interface $name did not come up within 60 s"
}

unplug() {
    local name=$1 host
    host=$(host_card "$name") || die "interface $name is not plugged in"
    # Unbinding waits until every program has closed the gadget's card, but
    # the host sees the disconnect at once: it goes on without us.
    (echo "" >"$gadgets/$name/UDC") &
    echo $! >"$state/$name.unplugging"
    within 30 test ! -e "/dev/snd/controlC$host" ||
        die "the host still has interface $name's card 30 s after it was unplugged"
}

add() {
    [ $# -ge 4 ] || die "add NAME PRODUCT SERIAL PORTS [MANUFACTURER]"
    local name=$1 product=$2 serial=$3 ports=$4 maker=${5:-Zelvonik}
    valid_name "$name"
    [[ $ports =~ ^[0-9]+$ ]] && [ "$ports" -ge 1 ] && [ "$ports" -le 16 ] ||
        die "an interface has 1 to 16 ports, not '$ports'"
    [ -e "$gadgets/$name" ] && die "interface $name exists already"
    mkdir -p "$state"
    # A controller that no interface has taken.
    local udc='' u taken
    for u in /sys/class/udc/*; do
        u=${u##*/}
        taken=$(cat "$state"/*.udc 2>/dev/null | grep -cx "$u" || true)
        [ "$taken" -eq 0 ] && { udc=$u; break; }
    done
    [ -n "$udc" ] || die "no free USB controller: start the kernel with a larger --usb"
    echo "$udc" >"$state/$name.udc"
    echo "$ports" >"$state/$name.ports"

    local g=$gadgets/$name
    mkdir "$g"
    # A test identity (pid.codes), which no driver has a quirk for.
    echo 0x1209 >"$g/idVendor"
    echo 0x0001 >"$g/idProduct"
    mkdir "$g/strings/0x409"
    echo "$maker" >"$g/strings/0x409/manufacturer"
    echo "$product" >"$g/strings/0x409/product"
    echo "$serial" >"$g/strings/0x409/serialnumber"
    mkdir "$g/configs/c.1" "$g/functions/midi.usb0"
    echo "$ports" >"$g/functions/midi.usb0/in_ports"
    echo "$ports" >"$g/functions/midi.usb0/out_ports"
    # Found again by this id after every plug, whatever index it gets.
    echo "fmidi$name" >"$g/functions/midi.usb0/id"
    ln -s "$g/functions/midi.usb0" "$g/configs/c.1/"
    plug "$name"
    show "$name"
}

command=${1:-}
shift || true
case $command in
add) add "$@" ;;
show) valid_name "${1:-}"; show "$1" ;;
device)
    [ $# -eq 2 ] || die "device NAME PORT"
    valid_name "$1"
    ports=$(cat "$state/$1.ports" 2>/dev/null) || die "no interface $1"
    [[ $2 =~ ^[0-9]+$ ]] && [ "$2" -ge 1 ] && [ "$2" -le "$ports" ] ||
        die "interface $1 has ports 1 to $ports, not '$2'"
    echo "hw:fmidi$1,0,$(($2 - 1))"
    ;;
plug | unplug) valid_name "${1:-}"; udc_of "$1" >/dev/null; "$command" "$1" ;;
*) die "unknown command '$command': add, show, device, plug or unplug" ;;
esac
