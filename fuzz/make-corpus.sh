#!/usr/bin/env bash
# Remakes the committed seed corpus: a few small real files, standard ones
# made by sox and ffmpeg, Brinmoor-WAVE ones with the header our converter
# writes (sizes set for the frames) around frames that sox computed. Needs a
# normal build (./test.sh).
#   fuzz/make-corpus.sh [BUILD_DIR]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:-$here/../build}
converter=$build/source/cli/quorvia-convert
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

std=$here/corpus/standardwave
brin=$here/corpus/brinmoorwave
conv=$here/corpus/convert
sound=$here/corpus/soundfile
rm -rf "$std" "$brin" "$conv" "$sound"
mkdir -p "$std" "$brin" "$conv" "$sound"

# tone RATE CHANNELS FRAMES OUTPUT-OPTIONS... FILE (undithered, so that
# remaking gives the same bytes)
tone() {
    local rate=$1 channels=$2 frames=$3
    shift 3
    sox -q -D -r "$rate" -c "$channels" -n "$@" synth "${frames}s" sine 1000 sine 300 gain -1
}
tone 44100 2 40 -b 16 "$std/s16-stereo-44100.wav"
tone 48000 2 40 -b 24 "$std/s24-stereo-48000.wav"
tone 8000 1 40 -b 8 "$std/u8-mono-8000.wav"
tone 96000 3 16 -b 32 "$std/s32-3ch-96000.wav"
tone 44100 2 30 -b 32 -e floating-point "$std/f32-stereo-44100.wav"
# ffmpeg adds a LIST chunk between the format and the data.
ffmpeg -loglevel error -i "$std/s16-stereo-44100.wav" -c:a pcm_s16le "$std/s16-list-ffmpeg.wav"

# A little-endian 32-bit field of file $1 at offset $2 set to $3.
setLe32() {
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 & 255)) $(($3 >> 8 & 255)) \
        $(($3 >> 16 & 255)) $(($3 >> 24 & 255)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# n frames of two binary64 values behind our converter's header, its sizes
# (8 bytes a frame, riffSize 40 more) set for n frames.
"$converter" -q --to brinmoor "$std/s16-stereo-44100.wav" "$tmp/converted.wav"
brinmoor() {
    local n=$1 out=$2
    head -c 44 "$tmp/converted.wav" >"$tmp/head.wav"
    setLe32 "$tmp/head.wav" 4 $((8 * n + 40))
    setLe32 "$tmp/head.wav" 40 $((8 * n))
    tone 39062 2 "$n" -t f64 "$tmp/frames.raw"
    cat "$tmp/head.wav" "$tmp/frames.raw" >"$out"
}
brinmoor 20 "$brin/stereo-20.wav"
# Its last frame cut in half.
brinmoor 12 "$tmp/cut.wav"
head -c $((44 + 11 * 16 + 8)) "$tmp/cut.wav" >"$brin/stereo-partial.wav"

cp "$brin/stereo-20.wav" "$std/brinmoor-20.wav"
cp "$std/s16-stereo-44100.wav" "$brin/standard-s16.wav"
cp "$std/s16-stereo-44100.wav" "$std/s24-stereo-48000.wav" "$std/f32-stereo-44100.wav" \
    "$brin/stereo-20.wav" "$conv/"
# The other formats, small enough for the fuzzers' length limit.
tone 44100 2 400 -b 16 "$tmp/s16.wav"
for f in flac aiff caf w64; do
    sox -q -D "$tmp/s16.wav" "$sound/s16-stereo.$f"
done
sox -q -D "$tmp/s16.wav" -b 24 "$sound/s24-stereo.flac"
sox -q -D "$tmp/s16.wav" -e floating-point -b 32 "$sound/f32-stereo.caf"
ffmpeg -loglevel error -i "$tmp/s16.wav" -c:a libvorbis -ac 1 "$sound/vorbis-mono.ogg"
ffmpeg -loglevel error -i "$tmp/s16.wav" -c:a libopus -b:a 24k "$sound/opus-stereo.opus"
ffmpeg -loglevel error -i "$tmp/s16.wav" -c:a libmp3lame -b:a 32k "$sound/mp3-stereo.mp3"
ffmpeg -loglevel error -i "$tmp/s16.wav" -c:a alac "$sound/alac-stereo.caf"
cp "$sound/s16-stereo.flac" "$sound/vorbis-mono.ogg" "$conv/"
ls -l "$std" "$brin" "$conv" "$sound"
