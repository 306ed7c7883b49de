#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given as the first argument; further
# arguments go to CMake). With --program first, builds the two programs alone (kovra and
# kovra-window), not the tests and benchmarks: what a first start needs.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=()
if [ "${1:-}" = "--program" ]; then
    targets=(--target kovra kovra-window)
    shift
fi
build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" "${targets[@]}"
