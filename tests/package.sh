#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian (any error or warning fails), installs it as a
# user would, checks the installed desktop entry, metainfo, service menu and manual page, runs the
# command line without a display, starts /usr/bin/kovra on a real X server and ends it with
# Ctrl+X, then removes the package again.
# Usage: tests/package.sh [build folder]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-build}")"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! sudo -n true 2>/dev/null; then
        echo "package: skipped (installing a package needs root or password-less sudo)"
        exit 0
    fi
    sudo="sudo"
fi
if dpkg-query -W -f='${Status}' kovra 2>/dev/null | grep -q "ok installed"; then
    echo "package: skipped (a kovra package is installed already; remove it first)"
    exit 0
fi

bash "$here/scripts/deps.sh" dpkg-dev file desktop-file-utils appstream man-db lintian
rm -f "$build"/kovra_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls "$build"/kovra_*_amd64.deb)"

# Debian's own checker; lintian refuses to run as root unless told to.
as_root=()
[ "$(id -u)" -ne 0 ] || as_root=(--allow-root)
lint="$(lintian "${as_root[@]}" --fail-on none "$deb")"
if grep -E '^[EW]: ' <<<"$lint" >&2; then
    echo "package: lintian reports errors or warnings on $(basename "$deb")" >&2
    exit 1
fi

remove() { DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq kovra >/dev/null; }
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb" >/dev/null
trap remove EXIT

desktop-file-validate /usr/share/applications/org.example.kovra.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.example.kovra.metainfo.xml >/dev/null
# A service menu is Type=Service, for which the validator takes MimeType and Actions as keys of
# applications only: those two complaints are expected, any other fails.
for menu in /usr/share/kio/servicemenus/kovra-{prefix,merge}.desktop; do
    problems="$(desktop-file-validate "$menu" |
        grep -v 'but the type is "Service" while this key is only valid for type "Application"' ||
        true)"
    if [ -n "$problems" ]; then
        echo "$problems" >&2
        exit 1
    fi
done
page="$(ls /usr/share/man/man1/kovra.1*)"
man -l "$page" 2>&1 | grep -q -- "--dry-run"
# The command line of the installed program, with no display.
work="$(mktemp -d)"
mkdir "$work/cats"
touch "$work/cats/a"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/kovra --version >/dev/null
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/kovra rename "$work/cats"
test -e "$work/cats/cats_a"
rm -r "$work"
for size in 32 48 64 128 256; do
    test -f "/usr/share/icons/hicolor/${size}x${size}/apps/kovra.png"
done
bash "$here/tests/smoke.sh" /usr/bin/kovra

remove
trap - EXIT
if [ -e /usr/bin/kovra ] || dpkg-query -W -f='${Status}' kovra 2>/dev/null | grep -q "ok installed"; then
    echo "package: kovra is still installed after removal" >&2
    exit 1
fi
echo "package: $(basename "$deb") installed, validated, started, ended with Ctrl+X, removed"
