#!/usr/bin/env bash
# Makes the stored journals of version 5 with the program itself, as tst_journal reads them:
#   bash tests/fs/data/make-v5.sh build/kovra tests/fs/data
# (the build of a commit whose journal version is 5; its paths are under /tmp/kovra-v5).
set -euo pipefail
kovra="$1"; out="$2"
T=/tmp/kovra-v5
rm -rf "$T"; mkdir -p "$T"
export XDG_STATE_HOME="$T/state" HOME="$T/home" XDG_DATA_HOME="$T/home/.local/share" LANG=C
mkdir -p "$HOME"
# A rename over two folders.
mkdir -p "$T/cats" "$T/dogs"
printf a >"$T/cats/a.jpg"; printf b >"$T/cats/b.jpg"; printf c >"$T/dogs/c.jpg"
"$kovra" rename "$T/cats" "$T/dogs"
cp "$(ls -t "$XDG_STATE_HOME"/kovra/runs/* | head -1)" "$out/v5-rename.journal"
# A merge into a folder it makes: one file numbered, one duplicate to the Trash, one moved.
mkdir -p "$T/pics/p" "$T/pics/q" "$T/all"
printf x >"$T/pics/p/x.jpg"
printf one >"$T/pics/p/y.jpg"; printf other >"$T/all/p_y.jpg"
printf z >"$T/pics/q/z.jpg"; printf z >"$T/all/q_z.jpg"
"$kovra" merge --number "$T/pics/p" "$T/pics/q" "$T/all"
cp "$(ls -t "$XDG_STATE_HOME"/kovra/runs/* | head -1)" "$out/v5-merge.journal"
