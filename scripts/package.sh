#!/usr/bin/env bash
# Installs what is missing, builds, and makes the Debian package build/kovra_<version>_amd64.deb,
# which Debian's checker lintian must pass without an error or a warning.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh dpkg-dev file lintian
bash scripts/build.sh build
rm -f build/kovra_*.deb
(cd build && cpack -G DEB)
# lintian refuses to run as root unless told to.
as_root=()
[ "$(id -u)" -ne 0 ] || as_root=(--allow-root)
lintian "${as_root[@]}" --fail-on error,warning build/kovra_*_amd64.deb
