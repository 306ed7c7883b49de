#!/usr/bin/env bash
# Installs what is missing, builds, and makes the Debian package build/kovra_<version>_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh dpkg-dev file
bash scripts/build.sh build
(cd build && cpack -G DEB)
