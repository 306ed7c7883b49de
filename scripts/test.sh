#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once as built normally, once again
# under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   --quick   the inner loop: a build in build/ and its Qt Test suites, nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."
# The tests' own file systems: FUSE drivers for the card and disk formats, and their tools.
bash scripts/deps.sh xvfb xauth xdotool fuse3 libfuse3-dev exfat-fuse exfatprogs fusefat \
    dosfstools ntfs-3g bindfs pkg-config \
    openssh-server openssh-client sshfs samba gvfs-backends gvfs-daemons gvfs-fuse dbus \
    libglib2.0-bin rclone
bash scripts/build.sh build
if [ "${1:-}" = "--quick" ]; then
    cd build && exec env QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
fi
# The sanitizer tree is built while the plain suites run, at the lowest priority: most of their
# time is spent waiting on drives and servers. The benchmarks are not built there.
mkdir -p build-asan
setsid -w nice -n 19 bash scripts/build.sh build-asan -DKOVRA_SANITIZE=ON -DKOVRA_BENCH=OFF \
    >build-asan/build.log 2>&1 &
asan_build=$!
# A failing suite ends the script: the build goes with it.
trap 'kill -- -$asan_build 2>/dev/null || true' EXIT
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)")
bash tests/smoke.sh build/kovra
bash tests/package.sh build
if ! wait "$asan_build"; then
    cat build-asan/build.log
    exit 1
fi

# Under the sanitizers, the suites that can hide a memory fault (label `memory`): the journal's
# reader and writer, undo, the runs and the windows; the drives and servers prove nothing more
# there.
(
    cd build-asan
    export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
    export LSAN_OPTIONS="suppressions=$PWD/../tests/sanitizers/lsan.supp"
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" -L memory
)

# The safety suites' counts, from the normal run, renames and merges in one line: the last line of
# the test output.
awk '
/^safety: fault cases/ { r = $0 }
/^safety: merges killed/ { m = $0 }
/safety: crash points tried/ { c = $0 }
function n(line, key,   s) {
    if (!match(line, key " [0-9]+")) return 0
    s = substr(line, RSTART, RLENGTH); sub(/.* /, "", s); return s + 0
}
END {
    printf "safety: fault cases tried %d, kills %d (merges %d), undos %d, recoveries %d " \
           "(merges %d), crash points %d, files checked %d, files lost: %d, files overwritten: %d\n",
        n(r, "tried"), n(r, "kills") + n(m, "killed"), n(m, "killed"), n(r, "undos"),
        n(r, "recoveries") + n(m, "recoveries"), n(m, "recoveries"), n(c, "tried"),
        n(r, "checked") + n(m, "checked"), n(r, "lost:") + n(m, "lost:"), n(r, "overwritten:")
}' build/Testing/Temporary/LastTest.log
