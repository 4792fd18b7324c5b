#!/usr/bin/env bash
# Takes the README's screenshots, docs/mainwindow.png and docs/about.png, of
# the real window under a virtual X server (Xvfb).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

missing=()
command -v xvfb-run >/dev/null || missing+=(xvfb)
command -v xauth >/dev/null || missing+=(xauth)
if ((${#missing[@]})); then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

scripts/setup.sh build
cmake --build build --target quorvia-screenshots
mkdir -p docs
xvfb-run -a -s "-screen 0 800x600x24" build/tools/quorvia-screenshots docs
