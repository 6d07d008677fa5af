#!/usr/bin/env bash
# Builds Orvik16 Update and starts it. Installs what it needs when run as root
# on Debian 12; otherwise prints the apt-get line to run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
orvik_ensure_packages "${ORVIK_BUILD_PACKAGES[@]}"

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
exec build/release/app/orvik16-update "$@"
