#!/usr/bin/env bash
# Remakes the committed seed corpus: a few small real files, standard ones
# made by sox and ffmpeg, Brinmoor-WAVE ones written by our own writer (its
# header) around frames that sox computed. Needs a normal build (./test.sh).
#   tests/fuzz/make-corpus.sh [BUILD_DIR]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:-$here/../../build}
writer=$build/tests/wave/wavewritehelper
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

std=$here/corpus/standardwave
brin=$here/corpus/brinmoorwave
conv=$here/corpus/convert
rm -rf "$std" "$brin" "$conv"
mkdir -p "$std" "$brin" "$conv"

# tone RATE CHANNELS FRAMES OUTPUT-OPTIONS... FILE
tone() {
    local rate=$1 channels=$2 frames=$3
    shift 3
    sox -q -r "$rate" -c "$channels" -n "$@" synth "${frames}s" sine 1000 sine 300 gain -1
}
tone 44100 2 40 -b 16 "$std/s16-stereo-44100.wav"
tone 48000 2 40 -b 24 "$std/s24-stereo-48000.wav"
tone 8000 1 40 -b 8 "$std/u8-mono-8000.wav"
tone 96000 3 16 -b 32 "$std/s32-3ch-96000.wav"
tone 44100 2 30 -b 32 -e floating-point "$std/f32-stereo-44100.wav"
# ffmpeg adds a LIST chunk between the format and the data.
ffmpeg -loglevel error -i "$std/s16-stereo-44100.wav" -c:a pcm_s16le "$std/s16-list-ffmpeg.wav"

# n frames of two binary64 values behind the header our writer gives n
# frames; the second file's last frame is cut in half.
brinmoor() {
    local n=$1 out=$2
    "$writer" brinmoor "$tmp/head.wav" "$n"
    tone 39062 2 "$n" -t f64 "$tmp/frames.raw"
    { head -c 44 "$tmp/head.wav"; cat "$tmp/frames.raw"; } >"$out"
}
brinmoor 20 "$brin/stereo-20.wav"
brinmoor 12 "$tmp/cut.wav"
head -c $((44 + 11 * 16 + 8)) "$tmp/cut.wav" >"$brin/stereo-partial.wav"

cp "$brin/stereo-20.wav" "$std/brinmoor-20.wav"
cp "$std/s16-stereo-44100.wav" "$brin/standard-s16.wav"
cp "$std/s16-stereo-44100.wav" "$std/s24-stereo-48000.wav" "$std/f32-stereo-44100.wav" \
    "$brin/stereo-20.wav" "$conv/"
ls -l "$std" "$brin" "$conv"
