#!/usr/bin/env bash
# Installs what is missing (mmv and perl's rename to compare against, the tools that make the
# loop-image file systems), builds, and runs the large-folder benchmark on tmpfs, ext4, xfs and
# btrfs (the last three need root). Arguments go to the benchmark, e.g.
#   scripts/bench.sh --sizes 100000,1000000 --reps 3 --fs tmpfs,ext4 --no-tools
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh mmv rename xfsprogs btrfs-progs
bash scripts/build.sh build
exec build/bench/kovra_bench "$@"
