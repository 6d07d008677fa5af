#!/usr/bin/env bash
# Builds the Debian package from this build tree and checks what it would put
# on a user's machine: the control fields, the files, that the desktop entry
# and the AppStream data validate under one application id, and that lintian
# finds no error.
#
#   check-package.sh BUILD_DIR WORK_DIR PACKAGE VERSION APP_ID
set -euo pipefail
build=$1 work=$2 package=$3 version=$4 id=$5

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack did not make the package"; }
debs=("$work"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $work, found: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$package" ] || fail "Package is '$(field Package)', not '$package'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not the project's '$version'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Section)" ] || fail "no Section"
[ -n "$(field Description)" ] || fail "no Description"
# Read off the binary, so the toolkit and the MIDI library must be there.
depends=$(field Depends)
for lib in libqt6widgets6 librtmidi; do
    [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: '$depends'"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
expected=(
    usr/bin/orvik16-update
    "usr/share/applications/$id.desktop"
    "usr/share/metainfo/$id.metainfo.xml"
    "usr/share/icons/hicolor/scalable/apps/$id.svg"
    "usr/share/icons/hicolor/256x256/apps/$id.png"
    "usr/share/icons/hicolor/48x48/apps/$id.png"
    usr/share/man/man1/orvik16-update.1.gz
    "usr/share/doc/$package/copyright"
)
for path in "${expected[@]}"; do
    [ -f "$root/$path" ] || fail "the package lacks /$path"
done
! ldd "$root/usr/bin/orvik16-update" | grep "not found" || fail "the binary needs libraries that are not installed"

# One id: the entry names its icon by it, the metainfo is that component and
# launches that entry.
desktop=$root/usr/share/applications/$id.desktop
metainfo=$root/usr/share/metainfo/$id.metainfo.xml
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's icon is not $id"
grep -qx "Exec=orvik16-update" "$desktop" || fail "the desktop entry does not start orvik16-update"
grep -q "<id>$id</id>" "$metainfo" || fail "the metainfo's id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "the metainfo does not launch $id.desktop"

# Hints count: two main categories show the program twice in menus.
report=$(desktop-file-validate "$desktop" 2>&1) || true
[ -z "$report" ] || fail "desktop-file-validate: $report"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the metainfo"

lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian reports errors"; }
if [ -s "$work/lintian.log" ]; then
    echo "lintian (no errors):"
    cat "$work/lintian.log"
fi
echo "PASS: $(basename "$deb") holds the program and its desktop data under $id"
