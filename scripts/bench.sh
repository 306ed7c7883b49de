#!/usr/bin/env bash
# Installs what is missing (with mmv and perl's rename to compare against), builds, and runs the
# large-folder benchmark. Arguments go to the benchmark, e.g. --sizes 10000,100000 --reps 3.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh mmv rename
bash scripts/build.sh build
exec build/bench/kovra_bench "$@"
