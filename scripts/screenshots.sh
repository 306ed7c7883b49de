#!/usr/bin/env bash
# Makes the README's pictures from the program as built: the main window on a folder of pictures
# with three of them selected (docs/main-window.png), and the merge window on two of its
# neighbours (docs/merge-window.png), each on a real X server (Xvfb).
# Usage: scripts/screenshots.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
bash scripts/deps.sh xvfb xauth xdotool imagemagick
bash scripts/build.sh --program "$build"
mkdir -p docs

# Runs inside xvfb-run: kovra ARGS..., its window (the process hands over to the window program,
# which keeps its pid) saved as OUT.
inner='
set -u
out="$1"
shift
log="$(mktemp)"
"$@" >"$log" 2>&1 &
pid=$!
window="$(timeout 30 xdotool search --sync --onlyvisible --pid "$pid" | head -n 1)"
if [ -z "$window" ]; then
    echo "screenshots: no window appeared for $*" >&2
    cat "$log" >&2
    kill "$pid" 2>/dev/null
    exit 1
fi
xdotool windowfocus --sync "$window" || true
# The window is saved once two pictures taken in a row agree: the lists, the preview and the
# fonts have been drawn by then.
previous="$(mktemp --suffix=.png)" current="$(mktemp --suffix=.png)"
import -window "$window" "$previous"
for _ in $(seq 100); do
    import -window "$window" "$current"
    if [ "$(compare -metric AE "$previous" "$current" null: 2>&1)" = 0 ]; then
        break
    fi
    cp "$current" "$previous"
done
convert "$current" -strip "$out"
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
rm -f "$previous" "$current" "$log"
'

# A folder of pictures as a user keeps them, in a home of its own so that no history or setting
# of the user's shows; by a name that reads well in the window's folder list.
home=/tmp/kovra-screenshots
rm -rf "$home"
mkdir "$home"
trap 'rm -rf "$home"' EXIT
pics="$home/pics"
mkdir -p "$pics/cats" "$pics/dogs" "$pics/birds"
for name in a.jpg b.jpg c.jpg d.jpg e.jpg IMG_0012.jpg IMG_0013.jpg; do
    head -c 2000 /dev/urandom >"$pics/cats/$name"
done
for name in a.jpg b.jpg IMG_0012.jpg walk.png; do
    head -c 3000 /dev/urandom >"$pics/dogs/$name"
done
cp "$pics/cats/b.jpg" "$pics/dogs/b.jpg"
head -c 1000 /dev/urandom >"$pics/birds/a.jpg"

shoot() {
    env -i PATH="$PATH" HOME="$home" LANG=ja_JP.UTF-8 XDG_STATE_HOME="$home/.local/state" \
        XDG_DATA_HOME="$home/.local/share" XDG_CONFIG_HOME="$home/.config" \
        xvfb-run -a -s "-screen 0 1024x768x24" bash -c "$inner" screenshots "$@"
}
shoot "$PWD/docs/main-window.png" "$PWD/$build/kovra" \
    "$pics/cats/a.jpg" "$pics/cats/c.jpg" "$pics/cats/IMG_0012.jpg"
shoot "$PWD/docs/merge-window.png" "$PWD/$build/kovra" merge --window \
    "$pics/cats" "$pics/dogs"
echo "screenshots: docs/main-window.png, docs/merge-window.png"
