#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
#   ./test.sh              build/ (the normal build)
#   ./test.sh --sanitize   build-sanitize/, everything built with
#                          AddressSanitizer and UndefinedBehaviorSanitizer
#   ./test.sh --thread     build-thread/, built with ThreadSanitizer: the
#                          tests of the code that runs on several threads
#                          (the files, the conversion job, the command line);
#                          the window's toolkit is not built for it, and would
#                          only report its own uninstrumented locking
# Further -DNAME=VALUE arguments go to cmake; CI gives -DQUORVIA_WERROR=ON.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

build_dir=build
cmake_args=()
tests=()
for argument in "$@"; do
    case "$argument" in
        --sanitize)
            build_dir=build-sanitize
            cmake_args+=(-DQUORVIA_SANITIZE=ON -DQUORVIA_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
            export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
            export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
            ;;
        --thread)
            build_dir=build-thread
            cmake_args+=(-DQUORVIA_SANITIZE_THREAD=ON -DQUORVIA_BUILD_BENCH=OFF)
            tests=(tst_wavefiles tst_resampler tst_convertfile tst_quorviaconvert)
            export QUORVIA_BUILD_TARGETS="${tests[*]}"
            export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}
            ;;
        -D*) cmake_args+=("$argument") ;;
        *)
            echo "usage: $0 [--sanitize | --thread] [-DNAME=VALUE...]" >&2
            exit 2
            ;;
    esac
done

scripts/setup.sh "$build_dir" "${cmake_args[@]}"
cd "$build_dir"
selection=()
if ((${#tests[@]})); then
    pattern=$(IFS='|' && echo "${tests[*]}")
    selection=(-R "^($pattern)\$")
fi
ctest --output-on-failure --parallel "$(nproc 2>/dev/null || echo 2)" "${selection[@]}"
