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
#   ./test.sh --coverage   build-coverage/, then prints the line and branch
#                          coverage of source/wave and source/converter
#   ./test.sh --qt6        build-qt6/, everything built against Qt 6
# Further -DNAME=VALUE arguments go to cmake; CI gives -DQUORVIA_WERROR=ON.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

build_dir=build
cmake_args=()
tests=()
coverage=
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
        --coverage)
            build_dir=build-coverage
            coverage=1
            # Counted atomically: a conversion runs on two threads.
            cmake_args+=(-DCMAKE_BUILD_TYPE=Debug -DQUORVIA_BUILD_BENCH=OFF
                "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic"
                -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage)
            ;;
        --qt6)
            build_dir=build-qt6
            cmake_args+=(-DQUORVIA_QT=6)
            ;;
        -D*) cmake_args+=("$argument") ;;
        *)
            echo "usage: $0 [--sanitize | --thread | --coverage | --qt6] [-DNAME=VALUE...]" >&2
            exit 2
            ;;
    esac
done

scripts/setup.sh "$build_dir" "${cmake_args[@]}"
cd "$build_dir"
if [ -n "$coverage" ]; then
    ../scripts/install-missing.sh gcovr
    find . -name '*.gcda' -delete # counts of this run only
    # Converter runs that a test makes fail keep their counts apart (see
    # tests/cli); they are added in after the suite.
    rm -rf counts-apart
    mkdir counts-apart
    export QUORVIA_COVERAGE_COUNTS=$PWD/counts-apart
fi
selection=()
if ((${#tests[@]})); then
    pattern=$(IFS='|' && echo "${tests[*]}")
    selection=(-R "^($pattern)\$")
fi
ctest --output-on-failure --parallel "$(nproc 2>/dev/null || echo 2)" "${selection[@]}"
if [ -n "$coverage" ]; then
    for run in counts-apart/*/; do
        # A limit below a few kilobytes leaves the counts empty.
        find "$run" -name '*.gcda' -size 0 -delete
        [ -n "$(find "$run" -name '*.gcda')" ] || continue
        rm -rf counts-merged
        if gcov-tool merge -o counts-merged . "$run$PWD"; then
            cp -r counts-merged/. .
        else
            echo "the counts of $run are left out" >&2
        fi
    done
    rm -rf counts-merged counts-apart
    # Lines, then branches, file by file, then each directory's sums.
    # Branches that only exceptions or the compiler's own checks take are
    # left out: the library throws none.
    report=(gcovr --root .. --object-directory . --exclude-throw-branches
        --exclude-unreachable-branches)
    "${report[@]}" --filter ../source/wave/ --filter ../source/converter/
    "${report[@]}" --filter ../source/wave/ --filter ../source/converter/ --branches
    # gcovr replaces the file it writes: never hand it /dev/null, which it
    # would turn into a regular file when run as root.
    for dir in source/wave source/converter; do
        echo "$dir:"
        "${report[@]}" --filter "../$dir/" --print-summary --output coverage-summary.txt |
            grep -v functions
    done
    rm -f coverage-summary.txt
fi
