#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
#   ./test.sh              build/ (the normal build)
#   ./test.sh --sanitize   build-sanitize/, everything built with
#                          AddressSanitizer and UndefinedBehaviorSanitizer
# Further -DNAME=VALUE arguments go to cmake; CI gives -DQUORVIA_WERROR=ON.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

build_dir=build
cmake_args=()
for argument in "$@"; do
    case "$argument" in
        --sanitize)
            build_dir=build-sanitize
            cmake_args+=(-DQUORVIA_SANITIZE=ON -DQUORVIA_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
            export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
            export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
            ;;
        -D*) cmake_args+=("$argument") ;;
        *)
            echo "usage: $0 [--sanitize] [-DNAME=VALUE...]" >&2
            exit 2
            ;;
    esac
done

scripts/setup.sh "$build_dir" "${cmake_args[@]}"
cd "$build_dir"
ctest --output-on-failure --parallel "$(nproc 2>/dev/null || echo 2)"
