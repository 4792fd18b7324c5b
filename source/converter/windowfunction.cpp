#include "windowfunction.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.141592653589793;
constexpr double twoPi = 6.283185307179586;
constexpr double fourPi = 12.566370614359172;
constexpr double sixPi = 18.84955592153876;
constexpr double eightPi = 25.132741228718345;

constexpr int kindCount = 14;

// 10^(G / 20) for each kind's gain G in dB; kind 0 is not normalised.
constexpr double divisors[kindCount] = {
        1.0,                 // rectangular
        0.6360628048372603,  // sine, -3.93 dB
        0.8413951416451951,  // sinc-type, -1.5 dB
        0.5011872336272722,  // triangular, -6.0 dB
        0.5011872336272722,  // Hann, -6.0 dB
        0.5388898453732869,  // Hamming, -5.37 dB
        0.41975898399100753, // Blackman, -7.54 dB
        0.35850894827655494, // Blackman-Harris, -8.91 dB
        0.35481338923357547, // Nuttall, -9.0 dB
        0.3630780547701013,  // Blackman-Nuttall, -8.8 dB
        1.1220184543019633,  // flat top, +1.0 dB
        0.19952623149688797, // Gaussian 0.3, -14.0 dB
        0.3357376142429546,  // Gaussian 0.5, -9.48 dB
        0.5035006087879048,  // Gaussian 1.2, -5.96 dB
};

// The shape of the tapered kinds 1, 2 and 4 ... 10 at point j of a window
// whose end points are 0 and d.
double taperedPoint(int kind, double j, double d)
{
    const double c1 = std::cos(j * twoPi / d);
    switch (kind) {
    case 1:
        return std::sin(j * pi / d);
    case 2: {
        const double x = 2.0 * j / d - 1.0;
        if (x == 0.0)
            return 1.0;
        return std::sin(static_cast<float>(x)) / x;
    }
    case 4:
        return 0.5 - 0.5 * c1;
    case 5:
        return 0.54 - 0.46 * c1;
    case 6:
        return 0.42 - 0.5 * c1 + 0.08 * std::cos(j * fourPi / d);
    case 7:
        return 0.35875 - 0.48829 * c1 + 0.14128 * std::cos(j * fourPi / d) -
                0.01168 * std::cos(j * sixPi / d);
    case 8:
        return 0.355768 - 0.487396 * c1 + 0.144232 * std::cos(j * fourPi / d) -
                0.012604 * std::cos(j * sixPi / d);
    case 9:
        return 0.3635819 - 0.4891775 * c1 + 0.1365995 * std::cos(j * fourPi / d) -
                0.0106411 * std::cos(j * sixPi / d);
    case 10:
        return 1.0 - 1.93 * c1 + 1.29 * std::cos(j * fourPi / d) - 0.388 * std::cos(j * sixPi / d) +
                0.032 * std::cos(j * eightPi / d);
    default:
        return 1.0;
    }
}

} // namespace

int WindowFunction::generate(int kind, int length)
{
    if (length < 1)
        return 0;

    values_ = std::make_unique<float[]>(static_cast<size_t>(length));
    kind_ = kind;
    length_ = length;
    float *w = values_.get();

    if (kind <= 0 || kind >= kindCount) {
        std::fill(w, w + length, 1.0f);
        return 1;
    }

    const double divisor = divisors[kind];
    const double d = length - 1;
    const int centre = (length - 1) / 2;

    if (kind >= 11) {
        const double sigma = (kind == 11 ? 0.3 : kind == 12 ? 0.5 : 1.2) * centre;
        for (int j = 0; j < length; ++j) {
            double value;
            if (sigma == 0.0) {
                // The limit of an ever narrower Gaussian: all of it at the centre.
                value = j == centre ? 1.0 : 0.0;
            } else {
                const double x = (j - centre) / sigma;
                value = std::exp(-0.5 * (x * x));
            }
            w[j] = static_cast<float>(value / divisor);
        }
        return 1;
    }

    if (length == 1) {
        // No end points to taper to: the single point is the shape's centre.
        w[0] = static_cast<float>((kind == 3 ? 1.0 : taperedPoint(kind, 0.5, 1.0)) / divisor);
        return 1;
    }

    if (kind == 3) {
        const int half = length / 2;
        const double step = 1.0 / half;
        double rise = 0.0;
        for (int k = 0; k <= half; ++k) {
            w[length - 1 - k] = static_cast<float>(rise / divisor);
            rise += step;
        }
        const int peak = length - 1 - half;
        for (int j = 0; j < peak; ++j)
            w[j] = w[2 * peak - j];
        return 1;
    }

    for (int j = 0; j < length; ++j)
        w[j] = static_cast<float>(taperedPoint(kind, j, d) / divisor);
    return 1;
}

int WindowFunction::apply(float *data, int count) const
{
    const int n = std::clamp(count, 0, length_);
    const float *w = values_.get();
    for (int i = 0; i < n; ++i)
        data[i] = data[i] * w[i];
    return n;
}
