#!/usr/bin/env bash
# Installs what is missing, builds into build/, and starts the program.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/setup.sh build

echo
echo "Built so far:"
echo "  build/  (library quorvia_core and its tests; run ./test.sh)"
echo "  build/source/cli/quorvia-convert  (the command-line converter), for example:"
echo "      build/source/cli/quorvia-convert recording.wav converted.wav"
echo "      build/source/cli/quorvia-convert --help"
