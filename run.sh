#!/usr/bin/env bash
# Installs what is missing, builds into build/, and starts the program.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/setup.sh build

# Without a display the window cannot open; say so instead of letting the
# toolkit abort, and point at the command-line converter.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat <<'EOF'

There is no display here (neither DISPLAY nor WAYLAND_DISPLAY is set), so the
Quorvia window cannot open. The command-line converter does the same work:
    build/source/cli/quorvia-convert recording.wav converted.wav
    build/source/cli/quorvia-convert -o converted/ *.wav
    build/source/cli/quorvia-convert --help
EOF
    exit 0
fi

exec build/source/app/quorvia
