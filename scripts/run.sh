#!/usr/bin/env bash
# Installs what is missing, builds, and starts Kovra in the current folder.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/deps.sh"
bash "$here/scripts/build.sh"
exec "$here/build/kovra" "$@"
