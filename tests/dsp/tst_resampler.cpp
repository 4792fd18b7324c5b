#include "testsupport.h"

#include "converter/kerneldsp.h"
#include "converter/resampler.h"
#include "converter/windowfunction.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using support::rows;

namespace {

using Frames = std::vector<Frame>;

struct Rates
{
    QString name;
    double inRate;
    double outRate;
    int L = 0; // 0: a refused pair
    int M = 0;
    double gain = 0.0; // L times the sum of each phase's taps; 0: no figure
};

// A window's points times its kind's gain: the textbook shape.
struct Window
{
    QString name;
    int kind;
    double gainDb;
    std::vector<double> shape;
};

Frames randomFrames(int n, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Frames frames(static_cast<size_t>(n));
    for (Frame &f : frames)
        f = Frame{value(random), value(random)};
    return frames;
}

// The whole stream through a stage just set up, in calls of `block` frames; empty when a call fails
// or the running total after T frames is not ceil(T L / M).
Frames convert(KernelDsp &stage, const Frames &in, int block)
{
    const long long L = stage.resamplerRef().leftState()->interp;
    const long long M = stage.resamplerRef().leftState()->decim;
    Frames out;
    Frames buffer(Resampler::maxOutputFrames);
    for (size_t at = 0; at < in.size(); at += static_cast<size_t>(block)) {
        const int n = static_cast<int>(std::min(in.size() - at, size_t(block)));
        int count = -1;
        if (stage.process(in.data() + at, n, buffer.data(), &count) != 1)
            return {};
        out.insert(out.end(), buffer.begin(), buffer.begin() + count);
        const long long t = static_cast<long long>(at) + n;
        if (static_cast<long long>(out.size()) != (t * L + M - 1) / M)
            return {};
    }
    return out;
}

bool sameBits(const Frames &a, const Frames &b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Frame)) == 0;
}

// Random input almost never tells summation orders apart once outputs are rounded to float. So
// around some outputs, two products that cancel exactly and one tiny product, newest (left) or
// oldest (right), are planted in `in`: the tiny one survives only when it is added after the
// cancellation. Then the closed form: output k comes from input s = floor(k M / L) at phase
// p = k M - s L, L * sum over j of h[p + j L] * x[s - j], newest first.
Frames plantTrapsAndExpect(const Resampler &resampler, Frames &in)
{
    const Resampler::resampleF_state &state = *resampler.leftState();
    const float *h = state.filter->coeffs.get();
    const long long L = state.interp;
    const long long M = state.decim;
    for (long long k = 97; k * M / L < static_cast<long long>(in.size()); k += 89) {
        const long long s = k * M / L;
        const long long p = k * M - s * L;
        for (long long j = 0; j < 8; ++j)
            in[s - j] = Frame{0.0, 0.0};
        in[s - 3] = Frame{h[p + 4 * L], h[p + 4 * L]};
        in[s - 4] = Frame{-h[p + 3 * L], -h[p + 3 * L]};
        in[s].left = std::ldexp(1.0, -60);
        in[s - 7].right = std::ldexp(1.0, -60);
    }

    Frames out;
    for (long long k = 0; k < (static_cast<long long>(in.size()) * L + M - 1) / M; ++k) {
        const long long s = k * M / L;
        const long long p = k * M - s * L;
        double left = 0.0;
        double right = 0.0;
        for (long long j = 0; j < 8; ++j) {
            const bool silent = s - j < 0;
            left += double(h[p + j * L]) * double(silent ? 0.0f : float(in[s - j].left));
            right += double(h[p + j * L]) * double(silent ? 0.0f : float(in[s - j].right));
        }
        // Rounded through float memory: GCC 12's SLP vectoriser drops the
        // rounding of a double -> float -> double pair kept in registers.
        const volatile float l = float(L * left);
        const volatile float r = float(L * right);
        out.push_back(Frame{l, r});
    }
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Rates)
Q_DECLARE_METATYPE(Window)

// The rate conversion stage and the window its filter design uses.
class TstResampler : public QObject
{
    Q_OBJECT

private slots:
    void conversion_data()
    {
        rows<Rates>({
                {"44100 to 39062.5", 44100.0, 39062.5, 3125, 3528, 2.7515},
                {"39062.5 to 44100", 39062.5, 44100.0, 3528, 3125, 2.7515},
                {"equal rates", 44100.0, 44100.0, 1, 1, 2.7391},
                {"factors below 11 go", 1000.0, 2000.0, 2, 1, 2.7474},
                {"factor 11 stays", 1100.0, 2200.0, 22, 11},
                {"L 2, M 3", 0.3, 0.2, 2, 3},
        });
    }

    // Bit for bit the closed form, each channel only from its own input, from
    // silence after every restart, whatever the block sizes; the
    // single-channel engine the stage falls back on agrees as well.
    void conversion()
    {
        QFETCH(Rates, row);
        const auto [name, inRate, outRate, L, M, gain] = row;

        KernelDsp stage(nullptr);
        QCOMPARE(stage.setRates(inRate, outRate), 1);
        const Resampler::resampleF_state &state = *stage.resamplerRef().leftState();
        QCOMPARE(state.interp, L);
        QCOMPARE(state.decim, M);
        // The phases' gains differ by less than 2e-5 and round to the figure.
        std::vector<double> gains(size_t(L), 0.0);
        for (int t = 0; t < 8 * L; ++t)
            gains[size_t(t % L)] += double(state.filter->coeffs[t]) * L;
        const auto [least, most] = std::minmax_element(gains.begin(), gains.end());
        QVERIFY(*most - *least < 2e-5);
        QVERIFY(gain == 0.0 || (std::abs(*least - gain) < 5e-5 && std::abs(*most - gain) < 5e-5));

        Frames in = randomFrames(9000, 7);
        const Frames expected = plantTrapsAndExpect(stage.resamplerRef(), in);
        for (int block : {1, 7, 200, 1000, 4096}) {
            stage.setRates(inRate, outRate);
            QVERIFY2(sameBits(convert(stage, in, block), expected),
                     qPrintable(QString::number(block)));
        }
        Resampler resampler;
        const auto single = resampler.newPolyPhaseFIRF(Resampler::span, 0, L, 0, M);
        std::vector<float> left(in.size());
        std::vector<float> out(expected.size() + 1);
        for (size_t i = 0; i < in.size(); ++i)
            left[i] = float(in[i].left);
        single->in = left.data();
        single->out = out.data();
        single->inCount = int(left.size());
        filterChannel(single.get());
        QCOMPARE(size_t(single->outCount), expected.size());
        for (size_t k = 0; k < expected.size(); ++k)
            QVERIFY(double(out[k]) == expected[k].left); // exactly, not fuzzily
    }

    void refusedRates_data()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        rows<Rates>({
                {"not a number", nan, 44100.0},
                {"below a tenth of a hertz", 44100.0, 0.09},
                {"2^31 tenths of a hertz", 214748364.8, 44100.0},
                {"beyond single precision", 1e39, 44100.0},
                {"beyond single precision, negative", -1e39, 44100.0},
                // L = 2097153, M = 10000: 8 L taps are 8 more than 2^24.
                {"a filter of more than 2^24 taps", 1000.0, 209715.3},
        });
    }

    // A refused pair leaves a stage that produces nothing and counts no
    // outputs, and so does one set up like it; its rates stay readable.
    void refusedRates()
    {
        QFETCH(Rates, row);
        Resampler refused;
        QCOMPARE(refused.setRates(row.inRate, row.outRate), 0);
        QVERIFY(!std::isnan(row.inRate) || std::isnan(refused.inRate()));
        QVERIFY(!(std::abs(row.inRate) > 1e38) ||
                refused.inRate() ==
                        std::copysign(std::numeric_limits<float>::infinity(), row.inRate));
        Resampler alike;
        QCOMPARE(alike.setRatesLike(refused), 0);
        Frames out(16);
        int count = -1;
        const Frames in(4, Frame{0.5, 0.5});
        for (Resampler *r : {&refused, &alike}) {
            QVERIFY(r->process(in.data(), out.data(), 4, &count) == 0 && count == 0);
            QVERIFY(r->processInput(4, false, 1.0, out.data(), &count) == 0 && count == 0);
            QVERIFY(r->outputsFor(4) == 0 && r->mostOutputsFor(4) == 0);
            QCOMPARE(r->startAt(100, in.data()), 0LL);
        }
        // A channel without a filter keeps its newest input all the same.
        const auto state = refused.newPolyPhaseFIRF(8, 0, 0, 0, 1);
        const float samples[3] = {0.25f, 0.5f, 0.75f};
        state->in = samples;
        state->inCount = 3;
        filterChannel(state.get());
        QVERIFY(!state->filter && state->outCount == 0 && state->writePos == 3 &&
                state->history[2] == 0.75f);
        state->in = nullptr;
        filterChannel(state.get());
        QCOMPARE(state->writePos, 3);
    }

    // Calls with nothing to do or no room do nothing, and say so.
    void callsOutOfRange()
    {
        Resampler stage;
        QCOMPARE(stage.setRates(44100.0, 39062.5), 1);
        Frames out(16);
        int count = -1;
        QVERIFY(stage.process(nullptr, out.data(), 4, &count) == 0 && count == 0);
        QVERIFY(stage.process(out.data(), out.data(), Resampler::maxInputFrames + 1, &count) == 0);
        QCOMPARE(stage.processInput(4, false, 1.0, out.data(), nullptr), 0);
        QVERIFY(stage.processInput(0, false, 1.0, out.data(), &count) == 1 && count == 0);
        QVERIFY(stage.processInput(4, false, 1.0, nullptr, &count) == 0 && count == 0);
        QVERIFY(stage.outputsFor(0) == 0 && stage.mostOutputsFor(0) == 0);
        QCOMPARE(stage.startAt(-1, out.data()), 0LL);
        // Nothing moved: the first output is still the first of a restart.
        QVERIFY(stage.processInput(1, false, 1.0, out.data(), &count) == 1 && count == 1);
    }

    void windowShapes_data()
    {
        const double r = std::sqrt(0.5);
        const double g = std::exp(-0.5 / 1.44); // a point 1 from the centre, sigma 1.2
        const double s1 = std::sin(1.0), s2 = 2 * std::sin(0.5);
        // Gaussians of sigma 0.3 and 0.5: points 2 and 1 from the centre.
        const double a2 = std::exp(-50.0 / 9), a1 = std::exp(-12.5 / 9);
        const double b2 = std::exp(-2.0), b1 = std::exp(-0.5);
        rows<Window>({
                {"unknown kind: rectangular, as it is", 14, 0.0, {1, 1, 1}},
                {"sine", 1, -3.93, {0, r, 1, r, 0}},
                {"sinc-type", 2, -1.5, {s1, s2, 1, s2, s1}},
                {"triangular, odd", 3, -6.0, {0, 0.5, 1, 0.5, 0}},
                {"triangular, even: the peak after the middle", 3, -6.0, {0.5, 1, 0.5, 0}},
                {"triangular, one point", 3, -6.0, {1}},
                {"Hamming", 5, -5.37, {0.08, 0.54, 1, 0.54, 0.08}},
                {"Hamming, one point: its centre", 5, -5.37, {1}},
                {"Blackman", 6, -7.54, {0, 0.34, 1, 0.34, 0}},
                {"Blackman-Harris", 7, -8.91, {6e-5, 0.21747, 1, 0.21747, 6e-5}},
                {"Nuttall", 8, -9.0, {0, 0.211536, 1, 0.211536, 0}},
                {"Blackman-Nuttall", 9, -8.8, {3.628e-4, 0.2269824, 1, 0.2269824, 3.628e-4}},
                {"flat top", 10, 1.0, {0.004, -0.258, 4.64, -0.258, 0.004}},
                {"Gaussian 0.3", 11, -14.0, {a2, a1, 1, a1, a2}},
                {"Gaussian 0.5", 12, -9.48, {b2, b1, 1, b1, b2}},
                {"Gaussian 1.2, even: centred on point 1", 13, -5.96, {g, 1, g, g * g * g * g}},
                {"Gaussian of two points: all at the centre", 11, -14.0, {1, 0}},
        });
    }

    void windowShapes()
    {
        QFETCH(Window, row);
        WindowFunction window;
        QCOMPARE(window.generate(row.kind, int(row.shape.size())), 1);
        const double gain = std::pow(10.0, row.gainDb / 20);
        for (size_t i = 0; i < row.shape.size(); ++i)
            QVERIFY2(std::abs(window.values()[i] * gain - row.shape[i]) < 2e-6,
                     qPrintable(QString::number(i)));
    }

    // (The design's window shows in the filter's gain.)
    void windowBadLengthKeptAndApplyStaysInside()
    {
        WindowFunction window;
        QCOMPARE(window.generate(4, 5), 1);
        QCOMPARE(window.generate(9, -3), 0);
        QVERIFY(window.kind() == 4 && window.length() == 5);
        float data[7] = {2, 2, 2, 2, 2, 2, 2};
        QCOMPARE(window.apply(data, 7), 5);
        const float hann = float(2 / 0.5011872336272722);
        QCOMPARE(std::vector<float>(data, data + 7),
                 std::vector<float>({0, hann / 2, hann, hann / 2, 0, 2, 2}));
    }
};

QTEST_APPLESS_MAIN(TstResampler)
#include "tst_resampler.moc"
