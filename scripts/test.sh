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
# The network suite stops a server for 20 s on each drive; CI waits less.
if [ "${CI:-}" = true ]; then
    export KOVRA_SERVER_STOP_SECONDS=${KOVRA_SERVER_STOP_SECONDS:-5}
fi
bash scripts/build.sh build
if [ "${1:-}" = "--quick" ]; then
    cd build && exec env QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
fi
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)")
bash tests/smoke.sh build/kovra
bash tests/package.sh build

bash scripts/build.sh build-asan -DKOVRA_SANITIZE=ON
(
    cd build-asan
    export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
    export LSAN_OPTIONS="suppressions=$PWD/../tests/sanitizers/lsan.supp"
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
)

# The safety suite's counts, from the normal run: the last line of the test output.
grep -h '^safety: fault cases' build/Testing/Temporary/LastTest.log | tail -n 1
