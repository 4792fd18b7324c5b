#!/usr/bin/env bash
# Takes the README's screenshots, docs/mainwindow.png and docs/about.png, of
# the real window under a virtual X server (Xvfb).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

scripts/install-missing.sh xvfb xauth

scripts/setup.sh build
cmake --build build --target quorvia-screenshots
mkdir -p docs
xvfb-run -a -s "-screen 0 800x600x24" build/tools/quorvia-screenshots docs
