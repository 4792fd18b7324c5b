#!/usr/bin/env bash
# Installs what is missing, builds into build/, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/setup.sh build
cd build
ctest --output-on-failure --parallel "$(nproc 2>/dev/null || echo 2)"
