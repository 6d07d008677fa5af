# Sourced by the run and test commands: makes sure the Debian packages they
# need are installed. As root it installs what is missing (one apt-get update
# first); otherwise it prints the apt-get line to run and stops.

orvik_ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What every build needs.
ORVIK_BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools librtmidi-dev libjack-jackd2-dev libgl-dev libx11-dev)

# What the virtual-display driver (scripts/drive-update.sh) reads the window
# through: a private session bus and the accessibility bus it starts.
ORVIK_ACCESSIBILITY_PACKAGES=(dbus-daemon at-spi2-core python3-pyatspi)
