#!/usr/bin/env bash
# Builds the libFuzzer programs with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz/ and runs them side by side,
# each for SECONDS seconds, starting from the committed seed corpus.
#   fuzz/run.sh SECONDS [TARGET...]     TARGET: standardwave brinmoorwave soundfile convert
# FUZZ_RUNS=N stops each target after N executions (or SECONDS, whichever
# comes first); FUZZ_JOBS=N runs no more than N targets at once, the next
# starting when one ends. New inputs collect in fuzz/corpus-work/TARGET (not
# committed); inputs that crash land in build-fuzz/artifacts/TARGET/. Exit
# status 1 when any target found a fault.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/.." && pwd)
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
if ((${#targets[@]} == 0)); then
    targets=(standardwave brinmoorwave soundfile convert)
fi

"$top/scripts/install-missing.sh" cmake make clang libclang-rt-14-dev qtbase5-dev qtbase5-dev-tools \
    pkg-config libsndfile1-dev

build=$top/build-fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --parallel "$(nproc 2>/dev/null || echo 2)" \
    --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Leaks of the system libraries that the tests know about too.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$top/tests/app/lsan.supp}
# The inputs are written to files; keep them in memory where we can.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

limits=(-max_total_time="$seconds")
if [ -n "${FUZZ_RUNS:-}" ]; then
    limits+=(-runs="$FUZZ_RUNS")
fi

fuzz() {
    local t=$1
    local work=$here/corpus-work/$t
    local artifacts=$build/artifacts/$t
    mkdir -p "$work" "$artifacts"
    local dict=$here/wave.dict
    if [ -f "$here/$t.dict" ]; then
        dict=$here/$t.dict
    fi
    # A slow input or one that needs much memory is a fault too.
    "$build/fuzz_$t" "$work" "$here/corpus/$t" \
        -dict="$dict" "${limits[@]}" -timeout=10 \
        -rss_limit_mb=1024 -malloc_limit_mb=512 -max_len=8192 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" >"$build/$t.log" 2>&1
}

status=0
at_once=${FUZZ_JOBS:-${#targets[@]}}
for t in "${targets[@]}"; do
    while (($(jobs -rp | wc -l) >= at_once)); do
        wait -n || status=1
    done
    fuzz "$t" &
done
while (($(jobs -rp | wc -l) > 0)); do
    wait -n || status=1
done

for t in "${targets[@]}"; do
    echo "== $t"
    # Coverage of the seeds, then at the end.
    grep -E 'INITED|DONE' "$build/$t.log" | sed -E 's/ (lim|exec\/s|rss):.*//' || true
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|==fault==|ERROR:|SUMMARY:' \
        "$build/$t.log" || true
    ls "$build/artifacts/$t" 2>/dev/null | sed 's/^/   found: /'
done
exit $status
