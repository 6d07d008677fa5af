#!/usr/bin/env bash
# Builds Orvik16 Update and runs every test: the whole suite plain, the
# Windows build's tests under Wine, then the suite under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer, then the fuzz targets.
# Installs what it needs when run as root on Debian 12; otherwise prints the
# apt-get line to run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

# Tests also need a JACK server, a virtual display with click automation, a
# message bus of their own (dbus-daemon), the accessibility bus the acceptance
# driver reads the window through, the Windows cross headers, valgrind,
# clang's fuzzer runtime, and what makes and checks the Debian package.
orvik_ensure_packages "${ORVIK_BUILD_PACKAGES[@]}" jackd2 xvfb xdotool dbus-daemon \
    "${ORVIK_ACCESSIBILITY_PACKAGES[@]}" \
    mingw-w64 g++-mingw-w64-x86-64-posix valgrind clang-14 libclang-rt-14-dev \
    dpkg-dev file lintian desktop-file-utils appstream
# The alsa tests boot a real kernel under emulation (scripts/lib/kernel-run.sh).
orvik_ensure_packages qemu-system-x86 busybox-static cpio kmod
# The acceptance runs read message boxes off the screen by OCR.
orvik_ensure_packages tesseract-ocr tesseract-ocr-eng

jobs=$(nproc)
summary=()

run_preset() {
    local preset=$1
    local start=$SECONDS
    echo "=== $preset: build and test"
    # Warnings are errors here: a new one stops the run.
    cmake --preset "$preset" -DORVIK_WERROR=ON
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
    summary+=("$preset: $((SECONDS - start)) s")
}

run_preset debug

# Windows: the cross build, its tests under Wine and the installer's test.
# CI always has the prebuilt Qt for Windows beside the checkout; elsewhere
# ORVIK_MINGW_QT may name an unpacked one.
mingw_qt_tarball=../shared/qt6-mingw/qt6-mingw-6.4.2.tar.xz
if [ -n "${ORVIK_MINGW_QT:-}" ] || [ -f "$mingw_qt_tarball" ]; then
    orvik_ensure_packages wine wine64 nsis fonts-dejavu-core x11-utils
    run_preset mingw
else
    echo "=== mingw: skipped: no Qt for Windows (set ORVIK_MINGW_QT or provide $mingw_qt_tarball)"
fi

# Optimised code warns where the debug build cannot see (-Wrestrict and
# -Warray-bounds need the optimiser's view): the shipped build compiles
# here too, warnings as errors. Its tests are the debug suite's.
start=$SECONDS
echo "=== release: build"
cmake --preset release -DORVIK_WERROR=ON
cmake --build --preset release -j "$jobs"
summary+=("release build: $((SECONDS - start)) s")

run_preset asan
run_preset tsan

if [ -x scripts/fuzz-and-memcheck.sh ]; then
    start=$SECONDS
    echo "=== fuzzing"
    # The debug suite above already ran the memcheck test.
    scripts/fuzz-and-memcheck.sh --no-memcheck
    summary+=("fuzzing: $((SECONDS - start)) s")
fi

echo "=== times"
printf '  %s\n' "${summary[@]}"
