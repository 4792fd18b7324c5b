#pragma once

#include <memory>

// Fourteen window shapes of a given length, each divided by a fixed gain so
// that the mean of a long window is close to 1, computed into 32-bit points.
//
// Kinds: 0 rectangular, 1 sine, 2 sinc-type, 3 triangular, 4 Hann,
// 5 Hamming, 6 Blackman, 7 Blackman-Harris, 8 Nuttall, 9 Blackman-Nuttall,
// 10 flat top, 11/12/13 Gaussian with sigma 0.3/0.5/1.2 times the centre
// index. Any other kind is rectangular (exactly 1.0, not normalised).
//
// The tapered kinds are symmetric with both end points included (the form
// used for filter design). The Gaussians are centred on the integer
// (length - 1) / 2, so they are symmetric only for odd lengths.
//
// Short lengths: a one-point window is its shape's centre value divided by
// the kind's gain. A Gaussian whose sigma is zero (length 1 or 2) is its
// limit: the centre point is the peak and every other point is 0.
//
// Triangular: the last floor(length / 2) + 1 points fall linearly from the
// peak to 0 at the last point; the points before the peak mirror those after
// it, so the peak sits at index length - 1 - floor(length / 2) and, for an
// odd length, the triangle is symmetric with both ends 0.
class WindowFunction
{
public:
    WindowFunction() = default;
    WindowFunction(const WindowFunction &) = delete;
    WindowFunction &operator=(const WindowFunction &) = delete;

    // Computes the window. Returns 1, or 0 when length < 1, in which case the
    // previous window stays as it was.
    int generate(int kind, int length);

    // data[i] *= point i, in 32-bit float, for i < count. count is clipped to
    // 0 ... length(); returns the number of points multiplied.
    int apply(float *data, int count) const;

    int kind() const { return kind_; }
    int length() const { return length_; }
    const float *values() const { return values_.get(); }

private:
    int kind_ = 0;
    int length_ = 0;
    std::unique_ptr<float[]> values_;
};
