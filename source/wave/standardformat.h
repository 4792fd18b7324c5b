#pragma once

#include "pcmsample.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstring>

// What a standard destination holds: two channels at one of a few rates, in
// integer PCM of 16, 24 or 32 bits or in 32-bit IEEE float. The default is
// what this converter has always written, 24 bits at 44100 Hz.
struct StandardFormat
{
    enum class Depth { Bits16, Bits24, Bits32, Float };

    Depth depth = Depth::Bits24;
    // 16 bits only: triangular dither of one step each way before the
    // rounding, so that quiet passages keep their detail as noise rather
    // than distortion. 24 and 32 bits keep more than any recording's noise
    // floor and get none.
    bool dither = true;
    int rate = 44100;

    static constexpr int rates[] = {44100, 48000, 88200, 96000};
    static bool rateSupported(int hertz)
    {
        for (const int r : rates)
            if (r == hertz)
                return true;
        return false;
    }

    bool isFloat() const { return depth == Depth::Float; }
    int bytesPerSample() const
    {
        switch (depth) {
        case Depth::Bits16:
            return 2;
        case Depth::Bits24:
            return 3;
        case Depth::Bits32:
        case Depth::Float:
            break;
        }
        return 4;
    }
    int bits() const { return 8 * bytesPerSample(); }
    bool isDefault() const { return depth == Depth::Bits24 && rate == 44100; }
    // FLAC holds integer samples of up to 24 bits.
    bool flacHolds() const { return depth == Depth::Bits16 || depth == Depth::Bits24; }

    bool operator==(const StandardFormat &o) const
    {
        return depth == o.depth && dither == o.dither && rate == o.rate;
    }
    bool operator!=(const StandardFormat &o) const { return !(*this == o); }
};

// The dither of the value `channel` (0 or 1) of frame `frame` of a file: the
// difference of two uniform values in [0, 1), so -1 ... +1 steps with a
// triangular distribution. It is a hash of the place rather than the next
// number of a running generator, so a file gets the same noise however it
// is written (in one part or two on two threads) and from run to run.
inline double ditherAt(quint64 frame, int channel)
{
    // splitmix64's finaliser over the place.
    quint64 z = (frame << 1 | quint64(channel & 1)) * 0x9e3779b97f4a7c15ull + 0x632be59bd9b4e019ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    constexpr double unit = 1.0 / 16777216.0; // 2^-24
    return double(z >> 40) * unit - double(z & 0xffffff) * unit;
}

// A value as a 16-bit sample, on the scale the readers use (full scale
// 2^31 - 1 in the top bits of an int32), plus `noise` steps, rounded to the
// nearest step and saturating; NaN is silence.
inline qint16 toInt16Sample(double x, double noise)
{
    constexpr double scale = pcmFullScale / 65536.0;
    double y = x * scale;
    y = y == y ? y + noise : 0.0;
    y = std::floor(y + 0.5);
    return qint16(std::min(std::max(y, -32768.0), 32767.0));
}

// One value of frame `frame` as a sample of `format`, little-endian, at `p`.
inline void storeSample(const StandardFormat &format, double x, quint64 frame, int channel, char *p)
{
    switch (format.depth) {
    case StandardFormat::Depth::Bits16: {
        const qint16 v = toInt16Sample(x, format.dither ? ditherAt(frame, channel) : 0.0);
        p[0] = char(v);
        p[1] = char(quint16(v) >> 8);
        return;
    }
    case StandardFormat::Depth::Bits24: {
        const qint32 v = toInt32Sample(x);
        p[0] = char(v >> 8);
        p[1] = char(v >> 16);
        p[2] = char(v >> 24);
        return;
    }
    case StandardFormat::Depth::Bits32: {
        const quint32 v = quint32(toInt32Sample(x));
        p[0] = char(v);
        p[1] = char(v >> 8);
        p[2] = char(v >> 16);
        p[3] = char(v >> 24);
        return;
    }
    case StandardFormat::Depth::Float: {
        // Kept as it is, above full scale too: float holds it.
        const float f = x == x ? float(x) : 0.0f;
        quint32 v;
        std::memcpy(&v, &f, 4);
        p[0] = char(v);
        p[1] = char(v >> 8);
        p[2] = char(v >> 16);
        p[3] = char(v >> 24);
        return;
    }
    }
}
