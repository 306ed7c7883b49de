#!/usr/bin/env bash
# Installs what is missing, builds the program (not its tests: scripts/test.sh builds those in
# the same folder), and starts Kovra in the current folder.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/deps.sh"
bash "$here/scripts/build.sh" --program
exec "$here/build/kovra" "$@"
