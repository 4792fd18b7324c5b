#!/usr/bin/env bash
# Redraws the pictures of the README's "Sound quality" section from real
# conversions through quorvia-convert, in both resampling modes:
#
#   docs/sweep-source.png, docs/sweep-original.png, docs/sweep-high.png
#       spectrograms of a logarithmic sine sweep, 20 Hz to 22 kHz at
#       44100 Hz, and of what each mode makes of it in Brinmoor-WAVE;
#   docs/response.png
#       the level of sine tones after conversion, in both directions, both
#       modes side by side, over the whole range and close up.
#
# Run after ./test.sh has built everything:
#
#   tools/sound-quality.sh [BUILD_DIR]     (default: build/ beside tools/)
#
# It installs gnuplot when it is missing. Everything temporary lives in one
# directory under $TMPDIR (or /tmp) and is removed at the end.
set -euo pipefail
export LC_ALL=C

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
cli=$build/source/cli/quorvia-convert
docs=$top/docs
if [ ! -x "$cli" ]; then
    echo "$cli is missing: build with ./test.sh first" >&2
    exit 1
fi
"$top/scripts/install-missing.sh" sox gnuplot-nox

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvia-quality.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
modes=(original high)
note() { echo "$*" >&2; }

# sox cannot take the Brinmoor-WAVE header; it reads the frames behind it raw.
frames() { tail -c +45 "$1"; }
brinmoorRaw=(-t f64 -r 39062.5 -c 2)

# A Brinmoor-WAVE file from raw binary64 pairs at 39062.5 Hz: the canonical
# header of 32-bit stereo PCM at 39062 Hz, whose sizes count 8 bytes a frame.
le() { # VALUE BYTES
    local v=$1 i
    for ((i = 0; i < $2; ++i)); do printf '\\x%02x' $(((v >> (8 * i)) & 255)); done
}
brinmoor() { # RAW OUT
    local size=$(($(stat -c %s "$1") / 2))
    {
        printf 'RIFF%bWAVEfmt %b' "$(le $((size + 40)) 4)" "$(le 16 4)"
        printf '%b' "$(le 1 2)$(le 2 2)$(le 39062 4)$(le $((39062 * 8)) 4)$(le 8 2)$(le 32 2)"
        printf 'data%b' "$(le "$size" 4)"
        cat "$1"
    } >"$2"
}

spectrogram() { # TITLE PNG SOX-INPUT...
    local title=$1 png=$2
    shift 2
    sox "$@" -n remix 1 spectrogram -x 640 -Y 300 -z 160 -w Kaiser -t "$title" -c "" -o "$png"
}

note "Sweep..."
# The null input gets the rate too, or sox makes the sweep at 48 kHz and
# converts it. 32-bit samples, so that the source's own noise lies far below what the
# conversions add.
sox -r 44100 -n -b 32 -c 2 sweep.wav synth 8 sine 20/22000 gain -1
spectrogram "Sine sweep, 20 Hz to 22 kHz, 44100 Hz" "$docs/sweep-source.png" sweep.wav
for mode in "${modes[@]}"; do
    "$cli" -q --quality "$mode" --to brinmoor sweep.wav "sweep-$mode.wav"
    frames "sweep-$mode.wav" >"sweep-$mode.f64"
    title="Converted to Brinmoor-WAVE, 39062.5 Hz, --quality $mode"
    spectrogram "$title" "$docs/sweep-$mode.png" "${brinmoorRaw[@]}" "sweep-$mode.f64"
done

# RMS level in dB of a file's middle, away from the filters' start and end.
level() { # SOX-INPUT...
    sox "$@" -n remix 1 trim 0.1 0.4 stats 2>&1 | awk '$1 == "RMS" && $2 == "lev" { print $4 }'
}

# Tones a twelfth of an octave apart from 20 Hz up: to 22 kHz at 44100 Hz
# towards Brinmoor-WAVE (above 19.5 kHz only an alias can come out), to
# 19.5 kHz at 39062.5 Hz towards the standard layout. The checkpoints are
# also printed as a table.
checkpoints="1000 10000 15000 15600 17000 21000"
note "Tones..."
: >response.dat
for direction in brinmoor standard; do
    highest=$([ $direction = brinmoor ] && echo 22000 || echo 19500)
    grid=$(awk -v h="$highest" 'BEGIN { for (f = 20; f <= h; f *= 2 ^ (1 / 12)) printf "%.1f\n", f }')
    for f in $( { echo "$grid"; printf '%s\n' $checkpoints; } | awk -v h="$highest" '$1 <= h' | sort -n); do
        if [ $direction = brinmoor ]; then
            sox -r 44100 -n -b 32 -c 2 tone.wav synth 0.6 sine "$f" gain -6
            in=$(level tone.wav)
        else
            sox -r 39062.5 -n "${brinmoorRaw[@]}" tone.f64 synth 0.6 sine "$f" gain -6
            brinmoor tone.f64 tone.wav
            in=$(level "${brinmoorRaw[@]}" tone.f64)
        fi
        line="$direction $f"
        for mode in "${modes[@]}"; do
            "$cli" -q --quality "$mode" --to "$direction" tone.wav out.wav
            if [ $direction = brinmoor ]; then
                frames out.wav >out.f64
                out=$(level "${brinmoorRaw[@]}" out.f64)
            else
                out=$(level out.wav)
            fi
            line="$line $(awk -v a="$out" -v b="$in" 'BEGIN { printf "%.4f", a - b }')"
        done
        echo "$line" >>response.dat
    done
done

note "Response chart..."
awk '$1 == "brinmoor"' response.dat >brinmoor.dat
awk '$1 == "standard"' response.dat >standard.dat
gnuplot <<EOF
set terminal pngcairo size 1000,640 font "DejaVu Sans,10"
set output "$docs/response.png"
set multiplot layout 2,2 columnsfirst title "Level of a sine tone after conversion: output RMS over input RMS"
set logscale x
set xrange [20:22000]
set xtics ("20" 20, "50" 50, "100" 100, "200" 200, "500" 500, "1k" 1000, "2k" 2000, \
           "5k" 5000, "10k" 10000, "20k" 20000)
set grid
set key bottom left
set xlabel "input frequency (Hz)"
set ylabel "dB"
do for [c = 3:4] {
    name = c == 3 ? "--quality original" : "--quality high"
    do for [closeUp = 0:1] {
        if (closeUp) {
            set title name . ": close up"
            set yrange [-8:1]
        } else {
            set title name . " (above 19.5 kHz only an alias comes out)"
            set yrange [-180:10]
        }
        plot "brinmoor.dat" using 2:c with lines lw 2 title "to Brinmoor-WAVE", \
             "standard.dat" using 2:c with lines lw 2 title "to standard"
    }
}
unset multiplot
EOF
echo "| tone | to Brinmoor-WAVE, original | to Brinmoor-WAVE, high | to standard, original | to standard, high |"
echo "|---|---|---|---|---|"
for f in $checkpoints; do
    awk -v f="$f" '$2 == f { level[$1] = sprintf("%.2f dB | %.2f dB", $3, $4) }
        END { printf "| %g Hz | %s | %s |\n", f, level["brinmoor"], level["standard"] ? level["standard"] : "— | —" }' response.dat
done
note "Wrote docs/sweep-source.png, docs/sweep-original.png, docs/sweep-high.png and docs/response.png."
