#!/usr/bin/env bash
# Remakes the committed seed corpus: a few small real files, standard ones
# made by sox and ffmpeg, Brinmoor-WAVE ones with the header our converter
# writes (sizes set for the frames) around frames that sox computed, and
# files built field by field for what the readers must tell apart or
# survive: look-alikes of the other layout, RF64 with its ds64 chunk
# missing, short or behind the data, sizes that are saturated, zero or run
# past the end, bytes after the data, odd fmt chunk sizes, and other formats
# cut short. Remaking gives the same bytes (nothing is dithered, encoders
# run bit-exact). Needs a normal build (./test.sh).
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
# ffmpeg without its version, random stream serials or dates in the output.
encode() {
    ffmpeg -loglevel error -i "$1" -fflags +bitexact -flags:a +bitexact -map_metadata -1 "${@:2}"
}

tone 44100 2 40 -b 16 "$std/s16-stereo-44100.wav"
tone 48000 2 40 -b 24 "$std/s24-stereo-48000.wav"
tone 8000 1 40 -b 8 "$std/u8-mono-8000.wav"
tone 96000 3 16 -b 32 "$std/s32-3ch-96000.wav"
tone 44100 2 30 -b 32 -e floating-point "$std/f32-stereo-44100.wav"
# ffmpeg adds a LIST chunk between the format and the data.
encode "$std/s16-stereo-44100.wav" -c:a pcm_s16le "$std/s16-list-ffmpeg.wav"

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

# The hand-built WAVE files, into both readers' corpora.
mkdir "$tmp/built"
python3 - "$tmp/built" <<'PY'
import math, struct, sys

out = sys.argv[1]
le16 = lambda v: struct.pack('<H', v)
le32 = lambda v: struct.pack('<I', v & 0xffffffff)
le64 = lambda v: struct.pack('<Q', v)

def chunk(cid, body, size=None):
    pad = b'\0' if len(body) % 2 else b''
    return cid + le32(len(body) if size is None else size) + body + pad

def fmt(tag, channels, rate, bits, extra=b'', size=None):
    block = channels * bits // 8
    body = le16(tag) + le16(channels) + le32(rate) + le32(rate * block) + le16(block) + le16(bits)
    return chunk(b'fmt ', body + extra, size)

def riff(chunks, form=b'RIFF', size=None):
    body = b'WAVE' + b''.join(chunks)
    return form + le32(len(body) if size is None else size) + body

def sine(n, k):
    return [0.5 * math.sin(2 * math.pi * (i + 1) * k / 64) for i in range(n)]

def s16(n):
    return b''.join(struct.pack('<hh', int(l * 32767), int(r * 32767))
                    for l, r in zip(sine(n, 3), sine(n, 5)))

def f64(values):
    return b''.join(struct.pack('<d', v) for v in values)

def frames64(n):
    return f64(v for pair in zip(sine(n, 3), sine(n, 5)) for v in pair)

def brinmoor(frames, data_size=None, riff_size=None):
    size = len(frames) // 2 if data_size is None else data_size
    head = fmt(1, 2, 39062, 32)
    body = head + b'data' + le32(size) + frames
    return b"RIFF" + le32(size + 40 if riff_size is None else riff_size) + b"WAVE" + body

def write(name, data):
    with open(f'{out}/{name}', 'wb') as f:
        f.write(data)

pcm = s16(40)
write('s16-base.wav', riff([fmt(1, 2, 44100, 16), chunk(b'data', pcm)]))

# 32-bit integer stereo whose right samples sit near a quarter of full
# scale: each frame read as one binary64 value is plausible audio.
def lookalike(n, rate, data_size=None):
    data = b''.join(le32(int(l * 0x7fffffff)) + le32(0x3fd00000 + 977 * i)
                    for i, l in enumerate(sine(n, 3)))
    return riff([fmt(1, 2, rate, 32), chunk(b'data', data, data_size)])
write('lookalike-s32-39062.wav', lookalike(300, 39062))
write('lookalike-s32-44100.wav', lookalike(300, 44100))
write('lookalike-s32-halfsize.wav', lookalike(300, 39062, 300 * 4))

# Recordings that start silent (past the first window that recognition
# reads) or damaged, never finished, saturated, with bytes after the data.
write('brinmoor-silent-start.wav', brinmoor(f64([0.0] * 540) + frames64(230)))
write('brinmoor-damaged-start.wav',
      brinmoor(f64([math.nan, math.inf, -math.inf, 1e300, 5e-324, -0.0, 17.0, 1e-30]) +
               frames64(60)))
write('brinmoor-unfinished.wav', brinmoor(frames64(40), 0, 0))
write('brinmoor-saturated.wav', brinmoor(frames64(40), 0xffffffff, 0xffffffff))
write('brinmoor-trailing.wav', brinmoor(frames64(40)) + b'\x01\x02\x03\x04\x05\x06\x07')

# Standard sizes: saturated, zero, past the end, bytes after the data.
write('s16-size-saturated.wav',
      riff([fmt(1, 2, 44100, 16), chunk(b'data', pcm, 0xffffffff)], size=0xffffffff))
write('s16-size-zero.wav', riff([fmt(1, 2, 44100, 16), chunk(b'data', pcm, 0)], size=0))
write('s16-size-past-end.wav', riff([fmt(1, 2, 44100, 16), chunk(b'data', pcm, 0xfffffff0)]))
write('s16-trailing-bytes.wav', riff([fmt(1, 2, 44100, 16), chunk(b'data', pcm)]) + b'\x01\x02\x03')
write('s16-trailing-list.wav',
      riff([fmt(1, 2, 44100, 16), chunk(b'data', pcm), chunk(b'LIST', b'INFOISFT\x03\x00\x00\x00ab\x00')]))
write('s16-data-before-fmt.wav', riff([chunk(b'data', pcm), fmt(1, 2, 44100, 16)]))
write('s16-odd-chunk-first.wav',
      riff([chunk(b'JUNK', b'abc'), fmt(1, 2, 44100, 16), chunk(b'data', pcm)]))

# RF64: proper, BW64, ds64 missing, short, or behind the data.
def ds64(data_bytes, size=28):
    body = le64(len(pcm) + 36 + 36) + le64(data_bytes) + le64(data_bytes // 4) + le32(0)
    return chunk(b'ds64', body[:size] if size < 28 else body, size)
rf64_data = chunk(b'data', pcm, 0xffffffff)
write('rf64-s16.wav', riff([ds64(len(pcm)), fmt(1, 2, 44100, 16), rf64_data], b'RF64', 0xffffffff))
write('bw64-s16.wav', riff([ds64(len(pcm)), fmt(1, 2, 44100, 16), rf64_data], b'BW64', 0xffffffff))
write('rf64-no-ds64.wav', riff([fmt(1, 2, 44100, 16), rf64_data], b'RF64', 0xffffffff))
write('rf64-short-ds64.wav',
      riff([ds64(len(pcm), 12), fmt(1, 2, 44100, 16), rf64_data], b'RF64', 0xffffffff))
write('rf64-ds64-after-data.wav',
      riff([fmt(1, 2, 44100, 16), rf64_data, ds64(len(pcm))], b'RF64', 0xffffffff))
write('rf64-ds64-too-long.wav',
      riff([ds64(1 << 40), fmt(1, 2, 44100, 16), rf64_data], b'RF64', 0xffffffff))

# fmt chunks of odd sizes: without the bits field, with an empty or odd
# extension, extensible (integer and float), longer than any reader needs.
write('fmt-14.wav', riff([chunk(b'fmt ', fmt(1, 2, 44100, 16)[8:22]), chunk(b'data', pcm)]))
write('fmt-18.wav', riff([fmt(1, 2, 44100, 16, le16(0)), chunk(b'data', pcm)]))
write('fmt-17.wav', riff([fmt(1, 2, 44100, 16, b'\x00'), chunk(b'data', pcm)]))
guid = bytes.fromhex('000000001000800000aa00389b71')
write('fmt-40-extensible.wav',
      riff([fmt(0xfffe, 2, 44100, 16, le16(22) + le16(16) + le32(3) + le16(1) + guid),
            chunk(b'data', pcm)]))
write('fmt-40-extensible-f64.wav',
      riff([fmt(0xfffe, 2, 44100, 64, le16(22) + le16(64) + le32(3) + le16(3) + guid),
            chunk(b'data', frames64(20))]))
write('fmt-60.wav', riff([fmt(1, 2, 44100, 16, le16(24) + bytes(24)), chunk(b'data', pcm)]))
write('f64-stereo-44100.wav', riff([fmt(3, 2, 44100, 64), chunk(b'data', frames64(20))]))
PY
cp "$tmp"/built/*.wav "$std/"
cp "$tmp"/built/*.wav "$brin/"
cp "$brin/stereo-20.wav" "$std/brinmoor-20.wav"
cp "$std/s16-stereo-44100.wav" "$brin/standard-s16.wav"
cp "$std/s16-stereo-44100.wav" "$std/s24-stereo-48000.wav" "$std/f32-stereo-44100.wav" \
    "$brin/stereo-20.wav" "$conv/"
for f in lookalike-s32-39062 brinmoor-silent-start brinmoor-damaged-start rf64-s16 fmt-40-extensible; do
    cp "$tmp/built/$f.wav" "$conv/"
done

# The other formats, small enough for the fuzzers' length limit, whole and
# cut in half.
tone 44100 2 400 -b 16 "$tmp/s16.wav"
# (Without a comment: sox dates the one it writes into AIFF files.)
for f in flac aiff caf w64 au; do
    sox -q -D "$tmp/s16.wav" --comment "" "$sound/s16-stereo.$f"
done
sox -q -D "$tmp/s16.wav" -b 24 "$sound/s24-stereo.flac"
sox -q -D "$tmp/s16.wav" -e floating-point -b 32 "$sound/f32-stereo.caf"
encode "$tmp/s16.wav" -c:a libvorbis -ac 1 "$sound/vorbis-mono.ogg"
encode "$tmp/s16.wav" -c:a libopus -b:a 24k "$sound/opus-stereo.opus"
encode "$tmp/s16.wav" -c:a libmp3lame -b:a 32k "$sound/mp3-stereo.mp3"
encode "$tmp/s16.wav" -c:a alac "$sound/alac-stereo.caf"
for f in s16-stereo.aiff s16-stereo.w64 s16-stereo.au mp3-stereo.mp3 vorbis-mono.ogg \
    opus-stereo.opus s16-stereo.flac; do
    head -c $(($(stat -c %s "$sound/$f") / 2)) "$sound/$f" >"$sound/cut-$f"
done
cp "$sound/s16-stereo.flac" "$sound/cut-s16-stereo.flac" "$sound/vorbis-mono.ogg" "$conv/"
ls -l "$std" "$brin" "$conv" "$sound"
