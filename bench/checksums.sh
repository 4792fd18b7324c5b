#!/usr/bin/env bash
# Checksums of what quorvia-convert writes for a fixed set of sources in both
# directions, to prove that a change to the conversion left every output
# bit-identical: run it with the build before and the build after the change
# and compare the two lists.
#
#   bench/checksums.sh [BUILD_DIR] > before.txt
#   ... change, rebuild ...
#   bench/checksums.sh [BUILD_DIR] > after.txt && diff before.txt after.txt
#
# The sources are made once into $QUORVIA_CHECKSUM_INPUTS (default
# $TMPDIR/quorvia-checksum-inputs) and reused, so that both runs convert the
# same bytes: files as sox and ffmpeg write them (bit depths, float, many
# channels, odd rates, a LIST chunk, a cut last frame), the fuzzing seeds,
# MINUTES (3) of music-like 24-bit stereo, and Brinmoor-WAVE recordings that
# peak above full scale or hold NaN and infinities. Each standard source is
# converted to Brinmoor-WAVE and that result back to standard; each
# Brinmoor-WAVE source to standard.
set -euo pipefail
export LC_ALL=C

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
cli=$build/source/cli/quorvia-convert
inputs=${QUORVIA_CHECKSUM_INPUTS:-${TMPDIR:-/tmp}/quorvia-checksum-inputs}
minutes=${MINUTES:-3}
if [ ! -x "$cli" ]; then
    echo "$cli is missing: build first" >&2
    exit 1
fi

le16() { printf "$(printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)))"; }
le32() {
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
        $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}

# A Brinmoor-WAVE file from raw little-endian binary64 frames.
brinmoor() { # RAW HEADER-RATE OUT
    local bytes n
    bytes=$(stat -c %s "$1")
    n=$((bytes / 16))
    {
        printf 'RIFF'
        le32 $((8 * n + 40))
        printf 'WAVEfmt '
        le32 16
        le16 1
        le16 2
        le32 "$2"
        le32 $(($2 * 8))
        le16 8
        le16 32
        printf 'data'
        le32 $((8 * n))
        cat "$1"
    } >"$3"
}

makeInputs() {
    local dir=$1 std=$1/standard brin=$1/brinmoor
    mkdir -p "$std" "$brin"
    # sox's noise is repeatable with -R; ffmpeg's with a seed.
    noise() { # NAME RATE CHANNELS ENCODING...
        local name=$1 rate=$2 channels=$3
        shift 3
        sox -R -r "$rate" -c "$channels" -n "$@" "$std/$name.wav" synth 70001s whitenoise vol 0.9
    }
    noise u8-mono-8000 8000 1 -b 8 -e unsigned-integer
    noise s16-stereo-44100 44100 2 -b 16 -e signed-integer
    noise s24-stereo-96000-ext 96000 2 -b 24
    noise s24-stereo-44100 44100 2 -b 24
    noise s24-stereo-48000 48000 2 -b 24
    noise s32-stereo-48000 48000 2 -b 32 -e signed-integer
    noise f32-stereo-44100 44100 2 -e float -b 32
    noise f64-stereo-192000 192000 2 -e float -b 64
    noise s24-6ch-48000 48000 6 -b 24
    noise s16-mono-22050 22050 1 -b 16
    anoise() { # NAME RATE CHANNELS CODEC
        ffmpeg -v error -f lavfi -i "anoisesrc=a=0.8:d=0.5:r=$2:seed=7" -ac "$3" -c:a "$4" \
            -y "$std/$1.wav"
    }
    anoise ffmpeg-s16-stereo-48000-list 48000 2 pcm_s16le
    anoise ffmpeg-u8-mono-11025 11025 1 pcm_u8
    anoise ffmpeg-s24-6ch-32000 32000 6 pcm_s24le
    anoise ffmpeg-s32-stereo-88200 88200 2 pcm_s32le
    anoise ffmpeg-f32-stereo-44100 44100 2 pcm_f32le
    anoise ffmpeg-f64-mono-16000 16000 1 pcm_f64le
    # The last frame cut short.
    head -c -3 "$std/s24-stereo-44100.wav" >"$std/s24-stereo-44100-cut.wav"
    # Short files: fewer frames than one block, and the empty recording.
    sox -R -r 44100 -c 2 -n -b 24 "$std/s24-short-150.wav" synth 150s sine 1000
    sox -R -r 44100 -c 2 -n -b 24 "$std/s24-empty.wav" trim 0 0

    # Long enough to be converted in two parts at once, of an odd length.
    sox -R -n -r 48000 -b 24 -c 2 "$std/long-odd-48000.wav" synth 1115557s pinknoise vol 0.7
    # Pink noise against a gliding sine with a tremolo, as bench/e2e.sh.
    local seconds=$((60 * minutes))
    sox -R -n -r 44100 -b 24 -c 2 "$std/music-24bit.wav" synth $seconds pinknoise \
        synth $seconds sine mix 110-1760 tremolo 3 40 gain -6

    for f in "$top"/tests/fuzz/corpus/*/*.wav "$top"/fuzz/corpus/*/*.wav; do
        [ -f "$f" ] || continue
        local kind
        kind=$(basename "$(dirname "$f")")
        case $kind in
        brinmoorwave) cp "$f" "$brin/seed-$(basename "$f")" ;;
        *) cp "$f" "$std/seed-$kind-$(basename "$f")" ;;
        esac
    done

    # Brinmoor-WAVE recordings as raw binary64 frames behind the header.
    sox -R -n -r 39062.5 -c 2 -t f64 "$dir/music.f64" synth $seconds pinknoise \
        synth $seconds sine mix 110-1760 tremolo 3 40 gain -6
    brinmoor "$dir/music.f64" 39062 "$brin/music.wav"
    # Peaks above full scale: the conversion scales the whole recording.
    # (sox keeps its samples within full scale, ffmpeg's float does not.)
    ffmpeg -v error -f lavfi -i "aevalsrc=1.58*sin(2*PI*440*t)|1.2*sin(2*PI*660*t):s=39062:d=1.8" \
        -f f64le -y "$dir/loud.f64"
    brinmoor "$dir/loud.f64" 39062 "$brin/loud-peak-1.58.wav"
    # Long, and above full scale only near its end.
    ffmpeg -v error -f lavfi \
        -i "aevalsrc=if(gt(t\,25)\,1.4\,0.5)*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):s=39062:d=30" \
        -f f64le -y "$dir/late.f64"
    brinmoor "$dir/late.f64" 39062 "$brin/loud-late.wav"
    # Long, above full scale near its start, and damaged near its end.
    ffmpeg -v error -f lavfi \
        -i "aevalsrc=if(lt(t\,2)\,1.1\,0.5)*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):s=39062:d=30" \
        -f f64le -y "$dir/early.f64"
    {
        head -c 16000000 "$dir/early.f64"
        printf '\x00\x00\x00\x00\x00\x00\xf8\x7f\x00\x00\x00\x00\x00\x00\xf0\x7f'
        tail -c +16000017 "$dir/early.f64"
    } >"$dir/early-damaged.f64"
    brinmoor "$dir/early-damaged.f64" 39062 "$brin/loud-early-damaged-late.wav"
    # Within full scale, damaged only in its second half.
    {
        head -c 16000000 "$dir/music.f64"
        printf '\x00\x00\x00\x00\x00\x00\xf0\xff\x00\x00\x00\x00\x00\x00\xf8\x7f'
        tail -c +16000017 "$dir/music.f64"
    } >"$dir/music-damaged.f64"
    brinmoor "$dir/music-damaged.f64" 39062 "$brin/music-damaged-late.wav"
    # Another header rate.
    sox -R -n -r 44100 -c 2 -t f64 "$dir/rate.f64" synth 70001s whitenoise vol 0.9
    brinmoor "$dir/rate.f64" 44100 "$brin/rate-44100.wav"
    # NaN, +-inf and a value past full scale among ordinary ones.
    {
        head -c 160000 "$dir/rate.f64"
        printf '\x00\x00\x00\x00\x00\x00\xf8\x7f\x00\x00\x00\x00\x00\x00\xf0\x7f'
        printf '\x00\x00\x00\x00\x00\x00\xf0\xff\x00\x00\x00\x00\x00\x00\x04\x40'
        head -c 160000 "$dir/loud.f64"
    } >"$dir/damaged.f64"
    brinmoor "$dir/damaged.f64" 39062 "$brin/damaged.wav"
    rm -f "$dir"/*.f64
}

if [ ! -d "$inputs" ]; then
    echo "Making the sources in $inputs..." >&2
    makeInputs "$inputs.part"
    mv "$inputs.part" "$inputs"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvia-checksums.XXXXXX")
trap 'rm -rf "$work"' EXIT

# One line per conversion: checksum (or the failure) and its name.
convert() { # TO SOURCE NAME
    if "$cli" -q --to "$1" "$2" "$work/out.wav" 2>"$work/err"; then
        echo "$(sha256sum <"$work/out.wav" | cut -d' ' -f1)  $3"
    else
        echo "failed: $(tr '\n' ' ' <"$work/err" | sed -e "s|$inputs/||g" -e "s|$work/||g")  $3"
    fi
}

for f in "$inputs"/standard/*.wav; do
    name=$(basename "$f" .wav)
    rm -f "$work/out.wav"
    convert brinmoor "$f" "to-brinmoor/$name"
    if [ -f "$work/out.wav" ]; then
        mv "$work/out.wav" "$work/back.wav"
        convert standard "$work/back.wav" "and-back/$name"
    fi
done
for f in "$inputs"/brinmoor/*.wav; do
    convert standard "$f" "to-standard/$(basename "$f" .wav)"
done
