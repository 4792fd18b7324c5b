#!/usr/bin/env bash
# Shared set-up of ./run.sh and ./test.sh: install what is missing, then
# configure and build. Usage: scripts/setup.sh BUILD_DIR [cmake options...]
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:?build directory}
shift

# Everything the build, the tests and the benchmarks need, from Debian 12:
# Qt 5, or Qt 6 for a build configured with -DQUORVIA_QT=6.
qt=5
for argument in "$@"; do
    case "$argument" in
        -DQUORVIA_QT=* | -DQUORVIA_QT:*=*) qt=${argument#*=} ;;
    esac
done
packages=(
    cmake g++ make pkg-config fonts-dejavu-core
    libbenchmark-dev libsoxr-dev libsndfile1-dev libmpg123-dev
    sox ffmpeg flac
)
if [ "$qt" = 6 ]; then
    packages+=(qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins)
else
    packages+=(qtbase5-dev qtbase5-dev-tools)
fi

"$top/scripts/install-missing.sh" "${packages[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
# Options given now are applied to an existing build too.
if [ ! -f "$build_dir/CMakeCache.txt" ] || (($#)); then
    cmake -S "$top" -B "$build_dir" "$@"
fi
# QUORVIA_BUILD_TARGETS, when set, names the only targets to build.
targets=()
for target in ${QUORVIA_BUILD_TARGETS:-}; do
    targets+=(--target "$target")
done
cmake --build "$build_dir" --parallel "$jobs" "${targets[@]}"
