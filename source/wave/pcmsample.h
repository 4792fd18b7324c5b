#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cmath>

// Integer PCM samples as the file classes read and write them: the sample's
// bits in the top of an int32, scaled by 2^31 - 1 rather than 2^31, so that
// full scale positive reads as exactly 1.0 and the most negative sample a
// little below -1.0. Every reader and writer of integer samples uses these,
// so one recording gives the same values whichever file format carried it.
constexpr double pcmFullScale = 2147483647.0;

// GCC 12's basic-block vectoriser drops a double -> float -> double round
// trip done on a pair of values (here left and right) at -O2, silently
// changing the results; the rounding loops are compiled without it.
#if defined(__GNUC__) && !defined(__clang__)
#    define KEEP_FLOAT_ROUNDING __attribute__((optimize("no-tree-slp-vectorize")))
#else
#    define KEEP_FLOAT_ROUNDING
#endif

// x * (2^31 - 1) truncated toward zero, saturating at the int32 range so
// that values past full scale clip instead of wrapping; NaN is silence.
inline qint32 toInt32Sample(double x)
{
    double y = x * pcmFullScale;
    y = y == y ? y : 0.0;
    y = std::min(std::max(y, -2147483648.0), 2147483647.0);
    return qint32(y);
}

// Values beyond +-16 (+24 dBFS), NaN and infinities are damage rather than
// levels: they do not set a recording's peak.
constexpr double damageAbove = 16.0;

// Float samples are divided by the recording's peak when it lies above full
// scale (`scale`, 1.0 otherwise), so a loud recording is scaled rather than
// clipped; what still lies beyond full scale is limited to it, as integer
// samples are by their width: values far beyond it overflow the
// single-precision rate conversion into infinities. Damage is limited the
// same way; NaN, which would poison every later output of the rate
// conversion and has no sign to limit to, becomes silence.
inline double limitFloatSample(double x, double scale)
{
    if (std::fabs(x) <= damageAbove)
        return std::clamp(x / scale, -1.0, 1.0);
    return x == x ? std::copysign(1.0, x) : 0.0;
}
