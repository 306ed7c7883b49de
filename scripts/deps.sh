#!/usr/bin/env bash
# Installs, when missing, the Debian packages needed to build and run Kovra, plus any named as
# arguments. A fresh Debian 12 machine needs nothing else.
set -euo pipefail

packages=(cmake make g++ qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools
    qt6-l10n-tools libgl-dev fonts-ipafont-gothic help2man libmount-dev libblkid-dev libglib2.0-dev pkg-config
    "$@")
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
