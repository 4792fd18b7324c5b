#!/usr/bin/env bash
# End-to-end speed of the conversions, both directions, on 10 minutes of
# music-like stereo: quorvia-convert and the window's path against the I/O
# floor and sox, in alternating runs; a batch of 8 files with -j 1 and with
# one job per processor; peak memory for 10 and 60 minutes; the stage's own
# throughput from its Google benchmark. Ends with the speed targets side by
# side, each with its measured figure. Run by hand after ./test.sh has built
# everything:
#
#   bench/e2e.sh [BUILD_DIR]     (default: build/ beside this directory)
#
# RUNS=n sets the runs per case (at least 5), MINUTES=n the recording's
# length (10; the memory runs take six times that). Everything temporary lives in
# one directory under $TMPDIR (or /tmp) and is removed at the end; the
# 60-minute files need about 3.5 GB there for a while.
#
# The I/O floor of a conversion is reading its source once plus writing a
# file of its destination's size with dd. Quorvia also flushes the destination to the
# disk before it replaces the named file, which neither the floor nor sox
# does; the "flushed" floor rows show what that costs by itself, and are the
# floor the wall-time target is measured against.
set -euo pipefail
export LC_ALL=C

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
cli=$build/source/cli/quorvia-convert
window=$build/bench/quorvia_bench_windowpath
stagebench=$build/bench/quorvia_bench_resampler
runs=${RUNS:-5}
((runs >= 5)) || runs=5

for tool in "$cli" "$window" "$stagebench"; do
    if [ ! -x "$tool" ]; then
        echo "$tool is missing: build with ./test.sh first" >&2
        exit 1
    fi
done
if ! command -v sox >/dev/null; then
    echo "sox is missing: ./test.sh installs it" >&2
    exit 1
fi
# GNU time measures peak memory.
"$(dirname "${BASH_SOURCE[0]}")/../scripts/install-missing.sh" time

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvia-e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -m 700 runtime times
export XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=offscreen

minutes=${MINUTES:-10}
seconds=$((60 * minutes))
note() { echo "$*" >&2; }

# Pink noise against a sine gliding over four octaves, with a tremolo: a
# full, changing spectrum and level, like a mix.
music() { # SECONDS FILE
    sox -n -r 44100 -b 24 -c 2 "$2" synth "$1" pinknoise synth "$1" sine mix 110-1760 \
        tremolo 3 40 gain -6
}

note "Generating $minutes minutes of 24-bit 44100 Hz stereo and its Brinmoor-WAVE form..."
music $seconds standard.wav
"$cli" -q --to brinmoor standard.wav brinmoor.wav
"$cli" -q --to standard brinmoor.wav standard-out.wav
# sox cannot take the Brinmoor-WAVE header; it reads the same frames raw.
tail -c +45 brinmoor.wav >brinmoor.f64
toBrinmoorBytes=$(stat -c %s brinmoor.wav)
toStandardBytes=$(stat -c %s standard-out.wav)
rm -f standard-out.wav
# The batch: the recording cut into 8 files, converted to Brinmoor-WAVE.
mkdir batch
for ((i = 0; i < 8; ++i)); do
    sox standard.wav "batch/part$i.wav" trim "$((i * seconds / 8))" "$((seconds / 8))"
done
jobs=$(nproc)
# The batch's own I/O floor: each file read, and a file of its destination's
# size written and flushed, one after the other.
mkdir sizes
"$cli" -q -j 1 --to brinmoor -o sizes batch/*.wav
batchFloor=""
for ((i = 0; i < 8; ++i)); do
    batchFloor+="cat batch/part$i.wav >/dev/null && dd if=/dev/zero of=floor.out/$i bs=1M "
    batchFloor+="iflag=count_bytes count=$(stat -c %s "sizes/part$i.wav") conv=fdatasync status=none && "
done
batchFloor+="true"
rm -rf sizes

# One timed run: wall time from the shell's clock, CPU time (user and
# system, to the millisecond) from the shell's times, peak memory from GNU
# time. Every case starts with its destination gone and nothing left to
# write back, so no run pays for another's files.
timed() { # CASE DESTINATION COMMAND...
    local name=$1 destination=$2
    shift 2
    rm -rf "$destination"
    sync
    local start=$EPOCHREALTIME
    if ! (/usr/bin/time -f "%M" -o times/last "$@" >/dev/null 2>times/stderr && times >times/cpu); then
        note "$name failed:"
        cat times/stderr >&2
        exit 1
    fi
    local end=$EPOCHREALTIME
    # The second line of times: the children's user and system time, as
    # 0m0.312s 0m0.045s.
    awk -v s="$start" -v e="$end" -v m="$(cat times/last)" '
        function seconds(t) { split(t, p, /[ms]/); return 60 * p[1] + p[2] }
        NR == 2 { printf "%.4f %.3f %d\n", e - s, seconds($1) + seconds($2), m }' \
        times/cpu >>"times/$name"
}

floor() { # SOURCE READS BYTES [dd conversion]
    local source=$1 reads=$2 bytes=$3
    shift 3
    for ((i = 0; i < reads; ++i)); do cat "$source" >/dev/null; done
    dd if=/dev/zero of=floor.out bs=1M iflag=count_bytes count="$bytes" status=none "$@"
}
export -f floor

cases=(
    "floor-b" "floor-b-sync" "quorvia-b" "one-b" "high-b" "window-b" "sox-b" "sox-q-b"
    "floor-s" "floor-s-sync" "quorvia-s" "one-s" "high-s" "window-s" "sox-s" "sox-q-s"
    "batch-floor" "batch-1" "batch-n" "batch-high-1" "batch-high-n"
)
run() { # CASE
    case $1 in
    floor-b) timed "$1" floor.out bash -c "floor standard.wav 1 $toBrinmoorBytes" ;;
    floor-b-sync) timed "$1" floor.out bash -c "floor standard.wav 1 $toBrinmoorBytes conv=fdatasync" ;;
    quorvia-b) timed "$1" out.wav "$cli" -q --to brinmoor standard.wav out.wav ;;
    one-b) timed "$1" out.wav "$cli" -q -j 1 --to brinmoor standard.wav out.wav ;;
    high-b) timed "$1" out.wav "$cli" -q --quality high --to brinmoor standard.wav out.wav ;;
    window-b) timed "$1" out.wav "$window" standard.wav out.wav 1 ;;
    sox-b) timed "$1" out.f64 sox standard.wav -t f64 -r 39062.5 out.f64 ;;
    sox-q-b) timed "$1" out.f64 sox standard.wav -t f64 -r 39062.5 out.f64 rate -q ;;
    floor-s) timed "$1" floor.out bash -c "floor brinmoor.wav 1 $toStandardBytes" ;;
    floor-s-sync) timed "$1" floor.out bash -c "floor brinmoor.wav 1 $toStandardBytes conv=fdatasync" ;;
    quorvia-s) timed "$1" out.wav "$cli" -q --to standard brinmoor.wav out.wav ;;
    one-s) timed "$1" out.wav "$cli" -q -j 1 --to standard brinmoor.wav out.wav ;;
    high-s) timed "$1" out.wav "$cli" -q --quality high --to standard brinmoor.wav out.wav ;;
    window-s) timed "$1" out.wav "$window" brinmoor.wav out.wav 0 ;;
    sox-s) timed "$1" out.wav sox -t f64 -r 39062.5 -c 2 brinmoor.f64 -b 24 -r 44100 out.wav ;;
    sox-q-s) timed "$1" out.wav sox -t f64 -r 39062.5 -c 2 brinmoor.f64 -b 24 -r 44100 out.wav rate -q ;;
    batch-1) timed "$1" out1 bash -c "mkdir out1 && '$cli' -q -j 1 --to brinmoor -o out1 batch/*.wav" ;;
    batch-n) timed "$1" outn bash -c "mkdir outn && '$cli' -q -j $jobs --to brinmoor -o outn batch/*.wav" ;;
    batch-floor) timed "$1" floor.out bash -c "mkdir floor.out && $batchFloor" ;;
    batch-high-1) timed "$1" outh1 bash -c "mkdir outh1 && '$cli' -q -j 1 --quality high --to brinmoor -o outh1 batch/*.wav" ;;
    batch-high-n) timed "$1" outhn bash -c "mkdir outhn && '$cli' -q -j $jobs --quality high --to brinmoor -o outhn batch/*.wav" ;;
    esac
}

loadBefore=$(cut -d' ' -f1-3 /proc/loadavg)
note "Warming the page cache..."
cat standard.wav brinmoor.wav brinmoor.f64 batch/* >/dev/null
for c in "${cases[@]}"; do run "$c"; done
rm -f times/*-*

for ((r = 1; r <= runs; ++r)); do
    note "Round $r of $runs..."
    for c in "${cases[@]}"; do run "$c"; done
done

# Peak memory over the length of the recording: one conversion each way of
# the recording repeated six times.
note "$((6 * minutes)) minutes each way, for peak memory..."
sox standard.wav standard.wav standard.wav standard.wav standard.wav standard.wav long.wav
timed long-b long-brinmoor.wav "$cli" -q --to brinmoor long.wav long-brinmoor.wav
rm -f long.wav
timed long-s long-out.wav "$cli" -q --to standard long-brinmoor.wav long-out.wav
rm -f long-brinmoor.wav

# The batch wrote the same files with one job and with several.
same() { # DIRECTORY DIRECTORY
    if [ "$(cd "$1" && sha256sum ./*)" = "$(cd "$2" && sha256sum ./*)" ]; then echo yes; else echo no; fi
}
batchSame=$(same out1 outn)
batchHighSame=$(same outh1 outhn)

note "The stage's benchmark..."
"$stagebench" --benchmark_filter='^stageThroughput/(44100_to_39062_5|39062_5_to_44100)$' --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null >times/stage.csv
# Median input frames per second, in millions.
stage() { # NAME
    awk -F, -v name="\"stageThroughput/$1_median\"" '$1 == name { printf "%.0f\n", $(NF - 3) / 1e6 }' \
        times/stage.csv
}

# Median of one column of a case's runs.
middle() { # CASE COLUMN
    sort -n -k"$2" "times/$1" | awk -v k="$2" '
        { v[NR] = $k }
        END { printf "%.4f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# wall median, wall min, wall max, CPU median, largest peak memory (KiB)
stats() { # CASE
    local range peak
    range=$(sort -n "times/$1" | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo, hi }')
    peak=$(awk '$3 > m { m = $3 } END { print m }' "times/$1")
    echo "$(middle "$1" 1) $range $(middle "$1" 2) $peak"
}
median() { middle "$1" 1; }

row() { # LABEL CASE FLOOR SOX SOXQ SECONDS [RSS_CASE]
    local label=$1 name=$2 floorCase=$3 soxCase=$4 soxqCase=$5 length=$6
    read -r wall low high cpu rss <<<"$(stats "$name")"
    awk -v label="$label" -v wall="$wall" -v low="$low" -v high="$high" -v cpu="$cpu" \
        -v rss="$rss" -v len="$length" -v runs="$(wc -l <"times/$name")" \
        -v floor="$([ -n "$floorCase" ] && median "$floorCase")" \
        -v sox="$([ -n "$soxCase" ] && median "$soxCase")" \
        -v soxq="$([ -n "$soxqCase" ] && median "$soxqCase")" '
        function ratio(a, b) { return a == "" || b == "" ? "" : sprintf("%.2f", a / b) }
        BEGIN {
            spread = runs > 1 ? sprintf("%.3f–%.3f", low, high) : "1 run"
            printf "| %s | %.3f | %s | %.3f | %.0f | %s | %s | %s | %.1f |\n", label, wall,
                   spread, cpu, len / wall, ratio(wall, floor), ratio(sox, wall),
                   ratio(soxq, wall), rss / 1024
        }'
}

echo
echo "$minutes minutes of 24-bit 44100 Hz stereo (Brinmoor-WAVE: 39062.5 Hz float64), $runs runs each;"
echo "wall time median and spread, CPU time median, peak RSS largest. \"vs floor\" is time"
echo "over the floor's time (lower is better), \"vs sox\" is sox's time over this one's."
echo
echo "| conversion | wall s | min–max s | CPU s | × realtime | vs floor | vs sox | vs sox -q | peak RSS MiB |"
echo "|---|---|---|---|---|---|---|---|---|"
row "standard → Brinmoor: I/O floor" floor-b "" "" "" $seconds
row "… floor, flushed to disk" floor-b-sync floor-b "" "" $seconds
row "… quorvia-convert" quorvia-b floor-b sox-b sox-q-b $seconds
row "… quorvia-convert -j 1 (one thread)" one-b floor-b sox-b sox-q-b $seconds
row "… quorvia-convert --quality high" high-b floor-b sox-b sox-q-b $seconds
row "… window's path" window-b floor-b sox-b sox-q-b $seconds
row "… sox" sox-b floor-b "" "" $seconds
row "… sox rate -q" sox-q-b floor-b "" "" $seconds
row "… quorvia-convert, $((6 * minutes)) min" long-b "" "" "" $((6 * seconds))
row "… 8 files: I/O floor, flushed" batch-floor "" "" "" $seconds
row "… 8 files, -j 1" batch-1 batch-floor "" "" $seconds
row "… 8 files, -j $jobs" batch-n batch-floor "" "" $seconds
row "… 8 files, --quality high, -j 1" batch-high-1 "" "" "" $seconds
row "… 8 files, --quality high, -j $jobs" batch-high-n "" "" "" $seconds
row "Brinmoor → standard: I/O floor" floor-s "" "" "" $seconds
row "… floor, flushed to disk" floor-s-sync floor-s "" "" $seconds
row "… quorvia-convert" quorvia-s floor-s sox-s sox-q-s $seconds
row "… quorvia-convert -j 1 (one thread)" one-s floor-s sox-s sox-q-s $seconds
row "… quorvia-convert --quality high" high-s floor-s sox-s sox-q-s $seconds
row "… window's path" window-s floor-s sox-s sox-q-s $seconds
row "… sox" sox-s floor-s "" "" $seconds
row "… sox rate -q" sox-q-s floor-s "" "" $seconds
row "… quorvia-convert, $((6 * minutes)) min" long-s "" "" "" $((6 * seconds))

# Every target with its figure: CPU times and walls are medians, memory the
# largest of all runs.
cpu() { middle "$1" 2; }
rss() { awk '$3 > m { m = $3 } END { printf "%.1f\n", m / 1024 }' "times/$1"; }
target() { # WHAT MEASURED GOAL MET
    printf '| %s | %s | %s | %s |\n' "$1" "$2" "$3" "$4"
}
check() { awk -v v="$1" -v op="$2" -v g="$3" 'BEGIN { ok = op == "<=" ? v <= g : v >= g; print ok ? "yes" : "**no**" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f\n", a / b }'; }

cpuB=$(ratio "$(cpu quorvia-b)" "$(cpu sox-q-b)")
cpuS=$(ratio "$(cpu quorvia-s)" "$(cpu sox-q-s)")
oneB=$(ratio "$(cpu one-b)" "$(cpu sox-q-b)")
oneS=$(ratio "$(cpu one-s)" "$(cpu sox-q-s)")
wallB=$(ratio "$(median quorvia-b)" "$(median floor-b-sync)")
wallS=$(ratio "$(median quorvia-s)" "$(median floor-s-sync)")
stageB=$(stage 44100_to_39062_5)
stageS=$(stage 39062_5_to_44100)
rssMost=$(for c in quorvia-b quorvia-s long-b long-s; do rss $c; done | sort -n | tail -1)
rssGrowth=$(awk -v a="$(rss quorvia-b)" -v b="$(rss long-b)" -v c="$(rss quorvia-s)" -v d="$(rss long-s)" \
    'BEGIN { x = b - a; y = d - c; printf "%+.1f\n", (x > y ? x : y) }')
batch=$(ratio "$(median batch-1)" "$(median batch-n)")
batchAtFloor=$(ratio "$(median batch-n)" "$(median batch-floor)")
batchHigh=$(ratio "$(median batch-high-1)" "$(median batch-high-n)")
# The window's path and the command line do the same work; converting in
# two parts at once makes their CPU times spread by ±15 % from run to run,
# and noise only ever adds, so the two are compared by their least CPU time.
least() { sort -n -k2 "times/$1" | awk 'NR == 1 { print $2 }'; }
windowB=$(awk -v w="$(least window-b)" -v q="$(least quorvia-b)" 'BEGIN { printf "%+.0f\n", 100 * (w / q - 1) }')
windowS=$(awk -v w="$(least window-s)" -v q="$(least quorvia-s)" 'BEGIN { printf "%+.0f\n", 100 * (w / q - 1) }')
windowMost=$(awk -v a="$windowB" -v b="$windowS" 'BEGIN { a = a < 0 ? -a : a; b = b < 0 ? -b : b; print (a > b ? a : b) }')

echo
echo "Targets ($(nproc) processors; load average before the runs: $loadBefore, after: $(cut -d' ' -f1-3 /proc/loadavg)):"
echo
echo "| target | measured | goal | met |"
echo "|---|---|---|---|"
target "CPU time ÷ sox \`rate -q\`'s, → Brinmoor" "$cpuB (-j 1: $oneB)" "≤ 0.5" "$(check "$cpuB" "<=" 0.5)"
target "CPU time ÷ sox \`rate -q\`'s, → standard" "$cpuS (-j 1: $oneS)" "≤ 0.5" "$(check "$cpuS" "<=" 0.5)"
target "wall time ÷ flushed I/O floor, → Brinmoor" "$wallB" "≤ 1.5" "$(check "$wallB" "<=" 1.5)"
target "wall time ÷ flushed I/O floor, → standard" "$wallS" "≤ 1.5" "$(check "$wallS" "<=" 1.5)"
target "stage, M input frames/s, 44100 → 39062.5" "$stageB" "≥ 150" "$(check "$stageB" ">=" 150)"
target "stage, M input frames/s, 39062.5 → 44100" "$stageS" "≥ 140" "$(check "$stageS" ">=" 140)"
target "peak RSS, MiB (growth from $minutes to $((6 * minutes)) min)" "$rssMost ($rssGrowth)" "≤ 12, flat" \
    "$(check "$rssMost" "<=" 12)"
target "8 files: -j 1 wall ÷ -j $jobs wall (same output: $batchSame)" \
    "$batch (-j $jobs at $batchAtFloor × the batch's flushed I/O floor)" "≥ 1.8" "$(check "$batch" ">=" 1.8)"
target "… the same with --quality high (same output: $batchHighSame)" "$batchHigh" "≥ 1.8" \
    "$(check "$batchHigh" ">=" 1.8)"
target "window's path CPU vs quorvia-convert's (least of the runs), %" "$windowB, $windowS" "within ±10" \
    "$(check "$windowMost" "<=" 10)"

# CPU time of the high-quality mode against sox's default quality on the
# same conversion.
awk -v hb="$(middle high-b 2)" -v sb="$(middle sox-b 2)" -v hs="$(middle high-s 2)" \
    -v ss="$(middle sox-s 2)" \
    'BEGIN { printf "CPU time of --quality high over sox at its default quality: standard → Brinmoor %.2f×, Brinmoor → standard %.2f×.\n",
                    hb / sb, hs / ss }'
