#!/usr/bin/env bash
# Installs what is missing (with mmv and perl's rename to compare against), builds, and runs the
# large-folder benchmark and the command line's. Arguments go to the large-folder benchmark,
# e.g. --sizes 10000,100000 --reps 3.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh mmv rename fuse3 exfat-fuse exfatprogs
bash scripts/build.sh build
build/bench/kovra_bench "$@"
# The run on a card-formatted drive (exFAT through FUSE), where every file is renamed onto a
# reservation of its new name.
build/bench/kovra_drivebench --files 10000 --reps 3
# The command line: a flat folder, a tree of folders, and the start-up.
build/bench/kovra_cli_bench build/kovra
