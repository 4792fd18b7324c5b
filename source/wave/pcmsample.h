#pragma once

#include <QtGlobal>

#include <algorithm>

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

// Float samples are limited to full scale, as integer samples are by their
// width: values far beyond it overflow the single-precision rate conversion
// into infinities. NaN and infinities, which would poison every later output
// of the rate conversion, become silence.
inline double limitFloatSample(double x)
{
    return x - x == 0.0 ? std::clamp(x, -1.0, 1.0) : 0.0;
}
