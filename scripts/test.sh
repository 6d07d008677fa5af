#!/usr/bin/env bash
# Builds Orvik16 Update and runs every test. Installs what it needs when run
# as root on Debian 12; otherwise prints the apt-get line to run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

# Tests also need a JACK server, a virtual display with click automation and
# the Windows cross headers.
orvik_ensure_packages "${ORVIK_BUILD_PACKAGES[@]}" jackd2 xvfb xdotool x11-utils \
    mingw-w64 g++-mingw-w64-x86-64-posix

jobs=$(nproc)
start=$SECONDS
cmake --preset debug
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"
echo "debug suite: $((SECONDS - start)) s"
