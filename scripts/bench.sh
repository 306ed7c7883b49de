#!/usr/bin/env bash
# Installs what is missing (mmv and perl's rename to compare against, the tools that make the
# loop-image file systems), builds, and runs the large-folder benchmark on tmpfs, ext4, xfs and
# btrfs (the last three need root), then the exFAT one, then the journal and command-line one.
# Arguments go to the large-folder benchmark, e.g.
#   scripts/bench.sh --sizes 100000,1000000 --reps 3 --fs tmpfs,ext4 --no-tools
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh mmv rename xfsprogs btrfs-progs fuse3 libfuse3-dev exfat-fuse exfatprogs \
    openssh-server openssh-client sshfs jdupes rdfind
bash scripts/build.sh build
build/bench/kovra_bench "$@"
# The run on a card-formatted drive (exFAT through FUSE), where every file is renamed onto a
# reservation of its new name.
build/bench/kovra_drivebench --files 10000 --reps 3
# The journal and the command line, each against the floor measured in the same run: the
# window's run, rename and undo of a folder, of a tree (on one thread for the floor), on an ext4
# image, and on switchfs answering each call after 1 ms; then the start-up.
build/bench/kovra_cli_bench build/kovra build/bench/kovra_floor \
    --switchfs build/tests/fusefs/switchfs
# The merge: 1,000 folders of 100 files flattened into one, against one renameat2 per file.
build/bench/kovra_merge_bench build/kovra
# Duplicates found in a merge of three cards against jdupes and rdfind on the same tree.
build/bench/kovra_dedupe_bench build/kovra
# On sshfs at 2 ms each way (a delaying proxy of its own): rename against link+unlink per file,
# undo against the rename.
build/bench/kovra_net_bench build/kovra tests/network/servers.sh --files 2000 --delay-ms 2
