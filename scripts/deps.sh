#!/usr/bin/env bash
# Installs, when missing, the Debian packages needed to build and run Kovra, plus any named as
# arguments. A fresh Debian 12 machine needs nothing else.
set -euo pipefail

packages=(cmake make g++ qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools
    qt6-l10n-tools libgl-dev fonts-ipafont-gothic help2man libmount-dev libblkid-dev pkg-config
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
    # The servers the network tests start themselves (sshd, smbd) must not be started by their
    # packages, listening on the machine's addresses: their init scripts are refused while they
    # install, and where systemd runs they are stopped and disabled afterwards.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
        $sudo chmod 755 "$policy"
        trap '$sudo rm -f "$policy"' EXIT
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    if [ -d /run/systemd/system ]; then
        for unit in ssh.socket ssh smbd nmbd samba-ad-dc; do
            $sudo systemctl disable --now "$unit" >/dev/null 2>&1 || true
        done
    fi
fi
