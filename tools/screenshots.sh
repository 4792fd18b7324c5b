#!/usr/bin/env bash
# Takes the README's screenshots of the real window under a virtual X server
# (Xvfb) with a window manager (IceWM, which shows a window's buttons as the
# program asks): docs/mainwindow.png and docs/about.png, a batch of twelve
# recordings into a new folder and the question the same batch asks when it
# is started again (docs/batch-*.png), and the question that closing the window
# during a conversion asks (docs/close-during-conversion.png).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

scripts/install-missing.sh xvfb xauth icewm

scripts/setup.sh build
cmake --build build --target quorvia-screenshots
mkdir -p docs

# The recordings: eleven of both layouts and one text file, whose failure
# the batch's summary explains; and a long one to stop while it converts.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
recordings=$work/Recordings
mkdir -p "$recordings"
for i in $(seq -w 1 11); do
    sox -n -r 44100 -c 2 -b 24 "$work/take-$i.wav" synth 20 pluck "$((200 + 10#$i * 30))" vol 0.5
    if ((10#$i % 3 == 0)); then
        build/source/cli/quorvia-convert --quiet "$work/take-$i.wav" "$recordings/take-$i.wav"
    else
        mv "$work/take-$i.wav" "$recordings/take-$i.wav"
    fi
done
echo "Session notes: take 4 is the keeper." >"$recordings/notes.wav"
sox -n -r 44100 -c 2 -b 16 "$recordings/long.wav" synth 90 sine 440 vol 0.3

export HOME=$work # IceWM's and the test-mode settings stay in here
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    icewm >/dev/null 2>&1 &
    wm=$!
    sleep 2
    status=0
    "$1" "$2" "$3" || status=$?
    kill "$wm"
    exit "$status"' screenshots build/tools/quorvia-screenshots "$top/docs" "$recordings"
