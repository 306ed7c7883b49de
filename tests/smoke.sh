#!/usr/bin/env bash
# Starts the built program on a real X server, finds its window by title, sends Ctrl+X and
# expects it to end with status 0. Usage: tests/smoke.sh [path to kovra]
set -euo pipefail
program="$(realpath "${1:-build/kovra}")"

# Runs inside xvfb-run: the program in the background, then the keys.
inner='
set -u
program="$1"
log="$(mktemp)"
"$program" >"$log" 2>&1 &
pid=$!
window="$(timeout 30 xdotool search --sync --onlyvisible --name "^Kovra Ver 1\.00" | head -n 1)"
if [ -z "$window" ]; then
    echo "smoke: no window titled \"Kovra Ver 1.00\" appeared" >&2
    cat "$log" >&2
    kill "$pid" 2>/dev/null
    exit 1
fi
# No window manager runs here to give the window the focus: give it, then type the keys as a user
# does (synthetic events sent to a window may be ignored, and fail once the window has gone).
xdotool windowfocus --sync "$window"
xdotool key ctrl+x
# The program must end by itself; a hang is ended after 30 seconds and fails.
( sleep 30; kill "$pid" 2>/dev/null ) &
watchdog=$!
wait "$pid"
status=$?
kill "$watchdog" 2>/dev/null
if [ "$status" -ne 0 ]; then
    echo "smoke: kovra ended with status $status after Ctrl+X" >&2
    cat "$log" >&2
    exit 1
fi
echo "smoke: window found, Ctrl+X ended the program with status 0"
'
cd "$(mktemp -d)"
timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "$inner" smoke "$program"
