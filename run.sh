#!/usr/bin/env bash
# Installs what is missing, builds into build/, and starts the program.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/setup.sh build

# Without a display the window cannot open; say so instead of letting the
# toolkit abort, and point at the command-line converter.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo
    echo "There is no display here (neither DISPLAY nor WAYLAND_DISPLAY is set), so the"
    echo "Quorvia window cannot open. The command-line converter does the same work:"
    echo "  build/source/cli/quorvia-convert  (the command-line converter), for example:"
    echo "      build/source/cli/quorvia-convert recording.wav converted.wav"
    echo "      build/source/cli/quorvia-convert --help"
    exit 0
fi

exec build/source/app/quorvia
