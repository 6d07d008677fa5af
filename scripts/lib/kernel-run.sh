#!/usr/bin/env bash
# Runs one command as root inside a real Linux kernel under emulation, for
# tests that need what a container lacks: the ALSA sequencer, a sound card
# that can be unplugged, a kernel of a known version. For tests only.
#
# Usage:
#   kernel-run.sh [options] [--] COMMAND [ARG...]
#       Boots Debian's kernel, runs COMMAND in the current directory and
#       prints its standard output and error; exits with its status, 124 when
#       the timeout passed, 125 when the kernel could not run it at all.
#   kernel-run.sh unplug | plug      (only inside the kernel)
#       Disconnects the virtual sound card, the way pulling a USB cable
#       disconnects one, or connects it again.
#   kernel-run.sh usb-midi add | show | device | unplug | plug ...
#   kernel-run.sh unplug NAME | plug NAME
#       (only inside, with --usb) Makes USB-MIDI interfaces, tells where
#       their ports' device sides are, pulls and plugs their cables: see
#       usb-midi.sh beside this script.
#
# Options:
#   --timeout S       Whole run, boot included (default 600). Never exceeded
#                     by more than a few seconds: the machine is killed.
#   --cache DIR       Where the kernel package and the initramfs are kept
#                     (default $ORVIK_KERNEL_CACHE, else build/kernel in the
#                     source tree). Made once, reused by every later run.
#   --env NAME=VALUE  Set in the command's environment; repeatable. Nothing
#                     of the caller's environment passes otherwise, except
#                     LANG, TERM and the ORVIK_* variables.
#   --module NAME     Load one more module of the kernel package (with what
#                     it depends on); repeatable.
#   --writable DIR    Share DIR (which must exist) writable, at the same
#                     path inside, for what the command leaves behind (logs,
#                     screenshots); repeatable.
#   --memory MB       Memory of the machine (default 2048).
#   --console FILE    Keep the kernel's console output in FILE.
#   --usb N           N software USB controllers (dummy_hcd), each for one
#                     USB-MIDI interface that the command makes with
#                     "kernel-run.sh usb-midi add"; with snd-usb-audio and
#                     snd-seq-midi, the driver stack of a real interface.
#
# Inside, the whole file system is this machine's, read-only, with fresh
# tmpfs on /tmp, /run and /dev/shm; HOME is /tmp. A source tree under /tmp
# or /run (a clone made with mktemp) is shared read-only at its own path
# over that tmpfs, so that its build can run inside. snd-seq (with "Midi
# Through") and snd-virmidi are loaded: card 0 is "Virtual Raw MIDI" with raw
# devices hw:0,0 to hw:0,3, each also a port of the sequencer's kernel client.
# ORVIK_IN_KERNEL=1 is set, so a script can tell where it runs.
#
# The machine has two processors and is emulated (-accel tcg): KVM does not
# work on the machines we test on, and "-cpu max" upsets Wine in this kernel.
# Booting takes about 16 s.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

# --- inside the kernel: the virtual card's plug ----------------------------
card_driver=/sys/bus/platform/drivers/snd_virmidi
card_device=snd_virmidi.0
case "${1:-}" in
usb-midi)
    shift
    exec "$here/usb-midi.sh" "$@"
    ;;
unplug | plug)
    [ $# -gt 1 ] && exec "$here/usb-midi.sh" "$@"
    if [ "${ORVIK_IN_KERNEL:-}" != 1 ]; then
        echo "kernel-run.sh: $1 works only inside the kernel" >&2
        exit 2
    fi
    if [ "$1" = unplug ]; then
        # The driver's removal waits until every program has closed the
        # card's devices, but disconnects them at once, as a USB unplug does:
        # it carries on without us, and we return once the card has gone.
        (echo "$card_device" >"$card_driver/unbind") &
        for _ in $(seq 100); do
            [ -e /dev/snd/controlC0 ] || exit 0
            sleep 0.1
        done
        echo "kernel-run.sh: the card is still there after 10 s" >&2
        exit 1
    fi
    # An unplugged card comes back once the last program let go of it.
    for _ in $(seq 300); do
        [ -e "$card_driver/$card_device" ] || break
        sleep 0.1
    done
    echo "$card_device" >"$card_driver/bind"
    exit 0
    ;;
esac

# --- outside: options ------------------------------------------------------
timeout_s=600
cache=${ORVIK_KERNEL_CACHE:-$source_dir/build/kernel}
memory=2048
console=
usb=0
envs=()
extra_modules=()
writables=()
while [ $# -gt 0 ]; do
    case "$1" in
    --timeout) timeout_s=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --env) envs+=("$2"); shift 2 ;;
    --module) extra_modules+=("$2"); shift 2 ;;
    --writable) writables+=("$(cd "$2" && pwd)"); shift 2 ;;
    --memory) memory=$2; shift 2 ;;
    --console) console=$2; shift 2 ;;
    --usb) usb=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "kernel-run.sh: unknown option $1" >&2; exit 125 ;;
    *) break ;;
    esac
done
if [ $# -eq 0 ]; then
    echo "kernel-run.sh: no command given" >&2
    exit 125
fi
case $usb in
'' | *[!0-9]*) echo "kernel-run.sh: --usb takes a number of controllers" >&2; exit 125 ;;
esac

. "$source_dir/scripts/deps.sh"
orvik_ensure_packages qemu-system-x86 busybox-static cpio kmod

mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# The modules the machine needs before its root exists, then what tests use.
# Each is loaded after what it depends on (virtio_ring before virtio, netfs
# and fscache before 9p), worked out from the modules themselves.
modules=(virtio_pci 9pnet_virtio 9p snd-seq snd-seq-dummy snd-virmidi "${extra_modules[@]}")
# What USB-MIDI interfaces need (--usb): in every initramfs, loaded only then.
usb_modules=(configfs libcomposite usb_f_midi dummy_hcd snd-usb-audio snd-seq-midi)

# Fetching and building once, under a lock: tests may start together.
prepare() {
    local deb
    deb=$(ls "$cache"/linux-image-6*.deb 2>/dev/null | head -n 1 || true)
    if [ -z "$deb" ]; then
        # linux-image-amd64 only depends on the versioned package.
        local real
        kernel_of() {
            apt-cache depends linux-image-amd64 2>/dev/null |
                sed -n 's/^ *Depends: \(linux-image-6[^ ]*\)$/\1/p' | head -n 1
        }
        real=$(kernel_of)
        # A fresh machine may not have read the package lists yet.
        [ -n "$real" ] || { apt-get update -qq && real=$(kernel_of); }
        if [ -z "$real" ]; then
            echo "kernel-run.sh: apt cannot find linux-image-amd64's kernel" >&2
            return 1
        fi
        (cd "$cache" && apt-get download "$real" >/dev/null 2>"$cache/download.log" ||
            { apt-get update -qq && apt-get download "$real" >/dev/null; })
        deb=$(ls "$cache"/linux-image-6*.deb | head -n 1)
    fi
    local tree=$cache/tree
    if [ ! -d "$tree/lib/modules" ]; then
        rm -rf "$tree"
        dpkg-deb -x "$deb" "$tree.part"
        mv "$tree.part" "$tree"
    fi
    kernel_image=$(ls "$tree"/boot/vmlinuz-* | head -n 1)
    local kver=${kernel_image##*/vmlinuz-}
    local moddir=$tree/lib/modules/$kver

    local key
    key=$(printf '%s\n' "$kver" "${modules[@]}" "${usb_modules[@]}" |
        cat - "$here/kernel-run.sh" | sha1sum | cut -c1-12)
    initramfs=$cache/initramfs-$key.cpio.gz
    [ -f "$initramfs" ] && return 0

    # Every module's file by its name, '-' and '_' being the same to the kernel.
    declare -A file_of=()
    local f n
    while IFS= read -r f; do
        n=${f##*/}
        n=${n%.ko}
        file_of[${n//-/_}]=$f
    done < <(find "$moddir/kernel" -name '*.ko')
    declare -A seen=()
    local order=()
    visit() {
        local name=${1//-/_}
        [ -n "${seen[$name]:-}" ] && return 0
        seen[$name]=1
        local path=${file_of[$name]:-}
        if [ -z "$path" ]; then
            # Built into the kernel, nothing to load.
            grep -q "/$name.ko" "$moddir/modules.builtin" 2>/dev/null && return 0
            echo "kernel-run.sh: no module $1 in $kver" >&2
            return 1
        fi
        local dep
        for dep in $(modinfo -F depends "$path" | tr ',' ' '); do
            visit "$dep"
        done
        order+=("$path")
    }
    local m
    for m in "${modules[@]}"; do
        visit "$m"
    done
    local base=${#order[@]}
    for m in "${usb_modules[@]}"; do
        visit "$m"
    done

    # Made for another list of modules or another version of this script.
    rm -f "$cache"/initramfs-*.cpio.gz
    local root=$cache/initramfs.part
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,newroot,modules}
    cp /bin/busybox "$root/bin/busybox"
    local i=0 load='' load_usb=''
    for f in "${order[@]}"; do
        i=$((i + 1))
        n=$(printf '%02d-%s' "$i" "${f##*/}")
        cp "$f" "$root/modules/$n"
        if [ $i -le $base ]; then load="$load$n "; else load_usb="$load_usb$n "; fi
    done
    cat >"$root/init" <<EOF
#!/bin/busybox sh
/bin/busybox mkdir -p /bin/.all
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
for m in $load; do
    case \$m in
    *snd-virmidi.ko) insmod /modules/\$m index=0 ;;
    *) insmod /modules/\$m ;;
    esac || echo "orvik-kernel: cannot load \$m"
done
# As many USB device controllers as the command asked for (--usb).
usb=0
for word in \$(cat /proc/cmdline); do
    case \$word in orvik.usb=*) usb=\${word#orvik.usb=} ;; esac
done
if [ "\$usb" -gt 0 ]; then
    for m in $load_usb; do
        case \$m in
        *dummy_hcd.ko) insmod /modules/\$m num=\$usb ;;
        *) insmod /modules/\$m ;;
        esac || echo "orvik-kernel: cannot load \$m"
    done
fi
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose root /newroot ||
    { echo "orvik-kernel: no root share"; poweroff -f; }
mount -t tmpfs -o mode=1777 tmp /newroot/tmp
mount -t tmpfs -o mode=0755 run /newroot/run
mkdir -p /newroot/run/orvik-job
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 job /newroot/run/orvik-job ||
    { echo "orvik-kernel: no job share"; poweroff -f; }
while read -r tag options dir; do
    mkdir -p "/newroot\$dir"
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,\$options "\$tag" "/newroot\$dir" ||
        echo "orvik-kernel: cannot share \$dir"
done </newroot/run/orvik-job/shares
mount --move /dev /newroot/dev
mount --move /proc /newroot/proc
mount --move /sys /newroot/sys
exec switch_root /newroot /bin/sh /run/orvik-job/stage2
EOF
    chmod +x "$root/init"
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 >"$initramfs.part")
    mv "$initramfs.part" "$initramfs"
    rm -rf "$root"
}

exec 9>"$cache/.lock"
flock 9
prepare || exit 125
flock -u 9

# --- one run ---------------------------------------------------------------
job=$(mktemp -d "${TMPDIR:-/tmp}/orvik-kernel.XXXXXX")
qemu_pid=
cleanup() {
    if [ -n "$qemu_pid" ]; then
        kill -KILL "$qemu_pid" 2>/dev/null || true
        wait "$qemu_pid" 2>/dev/null || true
    fi
    rm -rf "$job"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

{
    printf 'cd %q || { echo "kernel-run.sh: no %q inside" >\&2; exit 125; }\n' "$PWD" "$PWD"
    printf 'export ORVIK_IN_KERNEL=1 HOME=/tmp TMPDIR=/tmp XDG_RUNTIME_DIR=/run/user/0\n'
    printf 'export PATH=%q\n' "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    for v in LANG TERM $(compgen -e | grep '^ORVIK_' || true); do
        [ -n "${!v:-}" ] && printf 'export %s=%q\n' "$v" "${!v}"
    done
    for e in "${envs[@]}"; do
        printf 'export %s=%q\n' "${e%%=*}" "${e#*=}"
    done
    printf 'exec'
    printf ' %q' "$@"
    printf '\n'
} >"$job/command"

# The command's own time, a little less than the whole: its status still has
# to come out. Then the machine switches itself off.
inner=$((timeout_s > 40 ? timeout_s - 20 : timeout_s / 2))
cat >"$job/stage2" <<EOF
mkdir -p /dev/pts /dev/shm /run/user/0
mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=1777 shm /dev/shm
chmod 700 /run/user/0
ip link set lo up 2>/dev/null || busybox ip link set lo up
[ $usb -gt 0 ] && mount -t configfs configfs /sys/kernel/config
cd /
timeout -k 5 $inner /bin/sh /run/orvik-job/command \
    >/run/orvik-job/stdout 2>/run/orvik-job/stderr </dev/null
echo \$? >/run/orvik-job/status.part
mv /run/orvik-job/status.part /run/orvik-job/status
sync
echo o >/proc/sysrq-trigger
sleep 30
EOF

console_log=$job/console.log
# /tmp and /run are the machine's own inside: a source tree there would be
# hidden under them. Shared in this order, so that a writable directory
# inside the tree lies over it. A read-only share is cached as the root is:
# without the cache Wine cannot map the DLLs it loads from there.
shares=()
i=0
: >"$job/shares"
share() {
    i=$((i + 1))
    local device=local,path=$2,mount_tag=s$i,security_model=none,multidevs=remap
    local options=rw
    if [ "$1" = ro ]; then
        device+=,readonly=on
        options=ro,cache=loose
    fi
    shares+=(-virtfs "$device")
    printf 's%d %s %s\n' "$i" "$options" "$2" >>"$job/shares"
}
case "$source_dir/" in
/tmp/* | /run/*) share ro "$source_dir" ;;
esac
for dir in "${writables[@]}"; do
    share rw "$dir"
done
qemu-system-x86_64 \
    -accel tcg,thread=multi -cpu Haswell-noTSX -smp 2 -m "$memory" \
    -nodefaults -no-reboot -display none -monitor none \
    -serial "file:$console_log" \
    -kernel "$kernel_image" -initrd "$initramfs" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 rdinit=/init orvik.usb=$usb" \
    -virtfs "local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap" \
    -virtfs "local,path=$job,mount_tag=job,security_model=none,multidevs=remap" \
    "${shares[@]}" \
    </dev/null >"$job/qemu.log" 2>&1 &
qemu_pid=$!

deadline=$((SECONDS + timeout_s))
while kill -0 "$qemu_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
    sleep 0.5
done
timed_out=0
if kill -0 "$qemu_pid" 2>/dev/null; then
    timed_out=1
    kill -KILL "$qemu_pid" 2>/dev/null || true
fi
wait "$qemu_pid" 2>/dev/null || true
qemu_pid=

[ -n "$console" ] && cp "$console_log" "$console"
[ -f "$job/stdout" ] && cat "$job/stdout"
[ -f "$job/stderr" ] && cat "$job/stderr" >&2
if [ -f "$job/status" ]; then
    exit "$(cat "$job/status")"
fi
if [ $timed_out = 1 ]; then
    echo "kernel-run.sh: no result within ${timeout_s} s; the kernel said:" >&2
    tail -n 30 "$console_log" >&2
    exit 124
fi
echo "kernel-run.sh: the kernel ended without running the command; it said:" >&2
tail -n 30 "$console_log" "$job/qemu.log" >&2
exit 125
