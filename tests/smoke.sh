#!/usr/bin/env bash
# Starts the built program on a real X server, finds its window by title, sends Ctrl+X and
# expects it to end with status 0. Then opens it as a file manager does: on a folder (a name that
# is not UTF-8), where select all and start rename every file; and on two files, where start
# renames just those. Usage: tests/smoke.sh [path to kovra]
set -euo pipefail
program="$(realpath "${1:-build/kovra}")"

# Runs inside xvfb-run.
inner='
set -u
program="$1"
log="$(mktemp)"

# session "KEYS" ARGS...: starts the program with ARGS, types KEYS into its window, then Ctrl+X.
# Keys are handled in the order typed, so a rename they start ends before Ctrl+X is read. The
# program must end by itself with status 0.
session() {
    local keys="$1"
    shift
    "$program" "$@" >"$log" 2>&1 &
    local pid=$!
    local window
    window="$(timeout 30 xdotool search --sync --onlyvisible --name "^Kovra Ver 1\.00" | head -n 1)"
    if [ -z "$window" ]; then
        echo "smoke: no window titled \"Kovra Ver 1.00\" appeared for kovra $*" >&2
        cat "$log" >&2
        kill "$pid" 2>/dev/null
        return 1
    fi
    # No window manager runs here to give the window the focus: give it, then type the keys as
    # a user does (synthetic events sent to a window may be ignored).
    xdotool windowfocus --sync "$window"
    # shellcheck disable=SC2086
    xdotool key --delay 50 $keys ctrl+x
    # A hang (a dialog left open, say) is ended after 30 seconds and fails.
    ( sleep 30; kill "$pid" 2>/dev/null ) &
    local watchdog=$!
    wait "$pid"
    local status=$?
    kill "$watchdog" 2>/dev/null
    if [ "$status" -ne 0 ]; then
        echo "smoke: kovra $* ended with status $status after Ctrl+X" >&2
        cat "$log" >&2
        return 1
    fi
}

session "" || exit 1
echo "smoke: window found, Ctrl+X ended the program with status 0"

# Focus starts on the drive list; then come the folder list, the file list, select all, start.
tree="$(mktemp -d)"
name="$(printf "\xe9t\xe9")"
mkdir "$tree/$name" "$tree/dogs"
touch "$tree/$name/a" "$tree/$name/b" "$tree/dogs/a" "$tree/dogs/b" "$tree/dogs/c"
session "Tab Tab Tab space Tab space" "$tree/$name" || exit 1
if [ ! -e "$tree/$name/${name}_a" ] || [ ! -e "$tree/$name/${name}_b" ]; then
    echo "smoke: kovra FOLDER: select all and start did not rename every file of the folder" >&2
    ls "$tree/$name" >&2
    exit 1
fi
echo "smoke: kovra FOLDER opened the folder; select all and start renamed its files"
session "Tab Tab Tab Tab space" "$tree/dogs/b" "$tree/dogs/c" || exit 1
if [ "$(ls "$tree/dogs" | tr "\n" " ")" != "a dogs_b dogs_c " ]; then
    echo "smoke: kovra FILE FILE: start did not rename just those files" >&2
    ls "$tree/dogs" >&2
    exit 1
fi
rm -rf "$tree"
echo "smoke: kovra FILE FILE opened their folder with them selected; start renamed just those"
'
cd "$(mktemp -d)"
# A state folder of its own: a journal left by another run (cut short, or damaged) would be
# offered at the start, and the window would wait for an answer before Ctrl+X.
state="$(mktemp -d)"
trap 'rm -rf "$state"' EXIT
XDG_STATE_HOME="$state" timeout 180 xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "$inner" smoke "$program"
