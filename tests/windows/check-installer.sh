#!/usr/bin/env bash
# Makes the Windows installer and ZIP from this build tree and does with the
# installer what a user does: a silent install into a fresh Wine prefix, the
# installed program started on a virtual display until its window shows, and
# a silent uninstall that must leave nothing behind.
#
#   check-installer.sh BUILD_DIR WORK_DIR PACKAGE VERSION WINE_RUN PREFIX
#
# WINE_RUN is the tests' Wine wrapper, which makes the prepared PREFIX; the
# install goes into a copy of it, so the installed program finds nothing but
# what the installer put there (no WINEPATH, no plugin path).
set -euo pipefail
build=$1 work=$2 package=$3 version=$4 wine_run=$5 prepared=$6

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

xvfb_pid=""
cleanup() {
    if [ -d "${WINEPREFIX:-}" ]; then
        wineserver -k 2>/dev/null || true
    fi
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
cpack -G "NSIS;ZIP" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack did not make the installer and the ZIP"; }
name=$package-$version-win64
installer=$work/$name.exe
zip=$work/$name.zip
[ -f "$installer" ] || fail "no $name.exe in $work"
[ -f "$zip" ] || fail "no $name.zip in $work"
echo "made: $name.exe, $name.zip"

# What windeployqt would put beside the program, and no more.
expected=(
    bin/Qt6Core.dll
    bin/Qt6Gui.dll
    bin/Qt6Widgets.dll
    bin/libgcc_s_seh-1.dll
    bin/libstdc++-6.dll
    bin/libwinpthread-1.dll
    bin/orvik16-update.exe
    bin/platforms/qwindows.dll
    bin/styles/qwindowsvistastyle.dll
)
listed=$(python3 -c '
import sys, zipfile
for n in zipfile.ZipFile(sys.argv[1]).namelist():
    if not n.endswith("/"):
        print(n.split("/", 1)[1] if n.startswith(sys.argv[2] + "/") else "OUTSIDE:" + n)
' "$zip" "$name" | LC_ALL=C sort)
want=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)
[ "$listed" = "$want" ] || fail "the ZIP holds:
$listed
expected:
$want"

# The prepared prefix, made once by the tests' wrapper, then copied.
"$wine_run" cmd /c exit >/dev/null 2>&1 || fail "the tests' Wine prefix could not be made"
cp -a "$prepared" "$work/prefix"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
unset WINEPATH
for var in $(env | sed -n 's/^\(WINEQT_[A-Za-z0-9_]*\)=.*/\1/p'); do
    unset "$var"
done
drive=$WINEPREFIX/drive_c
# Everything a Windows session writes on its own: temporary files and
# Wine's own state.
snapshot() {
    (cd "$drive" && find . -path './users/*/Temp' -prune -o -path './windows' -prune -o -print) |
        LC_ALL=C sort
}
snapshot >"$work/before.txt"

Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(head -1 "$work/display")

wine "$installer" /S >"$work/install.log" 2>&1 || fail "the silent install failed: $(cat "$work/install.log")"
wineserver -w
dir="$drive/Program Files/Orvik16 Update"
for file in "${expected[@]}"; do
    [ -f "$dir/$file" ] || fail "the installer did not put $file into $dir"
done
[ -f "$dir/Uninstall.exe" ] || fail "no uninstaller in $dir"
entries=$(find "$drive" -iname 'Orvik16 Update.lnk')
[ -n "$entries" ] || fail "no Start menu entry"
echo "installed into C:\\Program Files\\Orvik16 Update; Start menu: ${entries#"$drive"/}"

# Qt's messages to stderr (Wine hands WINEQT_ on as QT_), for the log.
WINEQT_FORCE_STDERR_LOGGING=1 \
    wine 'C:\Program Files\Orvik16 Update\bin\orvik16-update.exe' >"$work/program.log" 2>&1 &
program=$!
# Ended below with the rest of the prefix's processes; not a job to report.
disown "$program"
launched=$SECONDS
# The main window by its whole title: xdotool matches without regard to
# case, and Wine's own error boxes are titled after the program's file.
window=$(timeout 120 xdotool search --sync --onlyvisible --name '^Orvik16\(KX/LX\) Update$' | head -1) ||
    fail "the installed program showed no window within 120 s: $(cat "$work/program.log")"
kill -0 "$program" 2>/dev/null || fail "the installed program exited: $(cat "$work/program.log")"
size=$(xwininfo -id "$window" | sed -n 's/^ *\(Width\|Height\): *//p' | paste -sd x)
echo "window: '$(xdotool getwindowname "$window")', $size, after $((SECONDS - launched)) s"
wineserver -k
wineserver -w

wine 'C:\Program Files\Orvik16 Update\Uninstall.exe' /S >"$work/uninstall.log" 2>&1 ||
    fail "the silent uninstall failed: $(cat "$work/uninstall.log")"
# The uninstaller runs on from a copy of itself; wait for every process.
wineserver -w
snapshot >"$work/after.txt"
left=$(LC_ALL=C comm -13 "$work/before.txt" "$work/after.txt")
[ -z "$left" ] || fail "the uninstall left behind:
$left"
registry=$(grep -il 'Orvik16' "$WINEPREFIX"/*.reg || true)
[ -z "$registry" ] || fail "the uninstall left registry entries: $(grep -i -B2 'Orvik16' "$WINEPREFIX"/*.reg)"
echo "uninstalled: nothing left behind"
