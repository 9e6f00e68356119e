#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
set -euo pipefail

packages=(
    cmake g++ make pkg-config qt6-base-dev libgl-dev libsodium-dev minisign
    zsh bash procps openssl ca-certificates
    xvfb xdotool imagemagick x11-utils icewm wmctrl fonts-dejavu-core fonts-noto-color-emoji libxcb1-dev
    desktop-file-utils libglib2.0-bin
    dpkg-dev file binutils lintian appstream
    xfce4-panel dbus-x11 weston qt6-wayland
    dbus-daemon at-spi2-core python3-pyatspi
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
fi
