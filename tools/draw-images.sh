#!/usr/bin/env bash
# Redraws the program's pictures into source/app/images from
# tools/images/drawimages.cpp. Needs g++ and the Qt 5 development files.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck disable=SC2046
g++ -std=c++17 -O1 -fPIC -o "$work/drawimages" "$top/tools/images/drawimages.cpp" \
    $(pkg-config --cflags --libs Qt5Gui)
QT_QPA_PLATFORM=offscreen "$work/drawimages" "$top/source/app/images"
ls -l "$top/source/app/images"
