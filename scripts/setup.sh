#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12. Needs root
# only when something is missing; with everything installed it changes
# nothing and runs as any user.
set -euo pipefail

# Real package names only: a virtual name (one that another package
# provides) never shows as installed, and would be installed again each run.
packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev
    qt6-translations-l10n fonts-noto-cjk
    clang libclang-rt-14-dev
    xvfb xauth xdotool imagemagick x11-utils
    at-spi2-core python3 python3-pyatspi dbus dbus-x11
    socat iproute2 util-linux procps
    dpkg-dev lintian desktop-file-utils appstream
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
((${#missing[@]})) || exit 0

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}; run scripts/setup.sh as root to install them." >&2
    exit 1
fi
echo "Installing ${#missing[@]} missing packages (a few minutes on a fresh machine): ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
