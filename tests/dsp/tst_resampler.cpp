#include "converter/kerneldsp.h"
#include "converter/resampler.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Frames = std::vector<Frame>;

const char refusedDesign[] = "Resampler::init(): error - filter coeff:  0x0";

Frames randomFrames(int n, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Frames frames(static_cast<size_t>(n));
    for (Frame &f : frames)
        f = Frame{value(random), value(random)};
    return frames;
}

// The whole stream through a stage just set up, in calls of `block` frames;
// empty when a call fails or the running total after T frames is not
// ceil(T L / M).
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

// Random input almost never tells summation orders apart once outputs are
// rounded to float. So around some outputs, two products that cancel exactly
// and one tiny product, newest (left) or oldest (right), are planted in `in`:
// the tiny one survives only when it is added after the cancellation.
// Then the closed form: output k comes from input s = floor(k M / L) at phase
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

class TstResampler : public QObject
{
    Q_OBJECT

private slots:
    void conversion_data()
    {
        QTest::addColumn<double>("inRate");
        QTest::addColumn<double>("outRate");
        QTest::addColumn<int>("L");
        QTest::addColumn<int>("M");
        QTest::addColumn<int>("outOf200");
        QTest::addColumn<int>("outOf1000");
        QTest::addColumn<double>("gain"); // L times the sum of each phase's taps; 0: no figure

        QTest::newRow("44100 to 39062.5")
                << 44100.0 << 39062.5 << 3125 << 3528 << 178 << 886 << 2.7515;
        QTest::newRow("39062.5 to 44100")
                << 39062.5 << 44100.0 << 3528 << 3125 << 226 << 1129 << 2.7515;
        QTest::newRow("48000 to 39062.5") << 48000.0 << 39062.5 << 625 << 768 << 163 << 814 << 0.0;
        QTest::newRow("8000 to 39062.5") << 8000.0 << 39062.5 << 625 << 128 << 977 << 4883 << 0.0;
        QTest::newRow("44100 to 48000")
                << 44100.0 << 48000.0 << 160 << 147 << 218 << 1089 << 2.7515;
        QTest::newRow("equal rates") << 44100.0 << 44100.0 << 1 << 1 << 200 << 1000 << 2.7391;
        QTest::newRow("factors below 11 go") << 1000.0 << 2000.0 << 2 << 1 << 400 << 2000 << 2.7474;
        QTest::newRow("factor 11 stays") << 1100.0 << 2200.0 << 22 << 11 << 400 << 2000 << 0.0;
        QTest::newRow("L 2, M 3") << 0.3 << 0.2 << 2 << 3 << 134 << 667 << 0.0;
        QTest::newRow("L 3, M 2") << 0.2 << 0.3 << 3 << 2 << 300 << 1500 << 0.0;
    }

    // Bit for bit the closed form, each channel only from its own input, from
    // silence after every restart, whatever the block sizes; the
    // single-channel engine the stage falls back on agrees as well.
    void conversion()
    {
        QFETCH(double, inRate);
        QFETCH(double, outRate);
        QFETCH(int, L);
        QFETCH(int, M);
        QFETCH(int, outOf200);
        QFETCH(int, outOf1000);
        QFETCH(double, gain);

        KernelDsp stage(nullptr);
        QCOMPARE(stage.setRates(inRate, outRate), 1);
        const Resampler::resampleF_state &state = *stage.resamplerRef().leftState();
        QCOMPARE(state.interp, L);
        QCOMPARE(state.decim, M);
        QCOMPARE(state.taps, 8 * L);
        QCOMPARE(state.historySize, 8);
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
        for (auto [frames, outputs] : {std::pair{200, outOf200}, {1000, outOf1000}}) {
            stage.setRates(inRate, outRate);
            QCOMPARE(int(convert(stage, Frames(in.begin(), in.begin() + frames), 200).size()),
                     outputs);
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

    void impulseResponse()
    {
        KernelDsp stage(nullptr);
        stage.setRates(44100, 44100);
        Frames in(16, Frame{0.0, 0.0});
        in[0] = Frame{1.0, -1.0};
        const Frames out = convert(stage, in, 16);
        const double expected[16] = {5.3416e-5, 0,        -0.11774, 1.4872,
                                     1.4872,    -0.11774, 0,        5.3416e-5};
        for (int k = 0; k < 16; ++k) {
            QVERIFY2(std::abs(out[k].left - expected[k]) <=
                             std::max(5e-5 * std::abs(expected[k]), 1e-8),
                     qPrintable(QString::number(k)));
            QCOMPARE(out[k].right, -out[k].left);
        }
        QVERIFY(std::abs(out[1].left) > 1e-10);
    }

    void singleChannelDesign()
    {
        // The history is the least power of two that holds minHistory, and at
        // least the 8 samples read back.
        Resampler resampler;
        QCOMPARE(resampler.newPolyPhaseFIRF(327680, 0, 65536, 0, 1)->historySize, 524288);
        QCOMPARE(resampler.newPolyPhaseFIRF(5, 0, 66000, 0, 1)->historySize, 8);

        // A refused design has no filter and yields nothing.
        QTest::ignoreMessage(QtDebugMsg, refusedDesign);
        const auto state = resampler.newPolyPhaseFIRF(327680, 0, 0, 0, 1);
        QVERIFY(!state->filter);
        float samples[4] = {1, 1, 1, 1};
        state->in = samples;
        state->out = samples;
        state->inCount = 4;
        filterChannel(state.get());
        QCOMPARE(state->outCount, 0);
    }

    void refusals_data()
    {
        QTest::addColumn<double>("inRate");
        QTest::addColumn<double>("outRate");
        QTest::addColumn<int>("refusedDesigns"); // -1: the rates are accepted
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("nullBuffer"); // 1: the input, 2: the output
        const auto rates = [](const char *name, double inRate, double outRate, int designs) {
            QTest::newRow(name) << inRate << outRate << designs << 200 << 0;
        };
        const auto call = [](const char *name, double inRate, double outRate, int n,
                             int nullBuffer) {
            QTest::newRow(name) << inRate << outRate << -1 << n << nullBuffer;
        };
        const double inf = std::numeric_limits<double>::infinity();
        rates("not a number", 44100.0, std::nan(""), 0);
        rates("infinite", inf, 44100.0, 0);
        rates("minus infinity", 44100.0, -inf, 0);
        rates("negative", -44100.0, 39062.5, 0);
        rates("tenths beyond 32 bits", 214748364.8, 44100.0, 0);
        rates("output below 0.1 Hz", 44100.0, 0.05, 2);
        rates("input below 0.1 Hz", 0.09, 44100.0, 2);
        rates("both below 0.1 Hz", 0.05, 0.05, 2);
        rates("more than 2^24 taps", 44100.0, 300000.1, 2);
        call("too many inputs", 44100, 39062.5, Resampler::maxInputFrames + 1, 0);
        call("negative count", 44100, 39062.5, -1, 0);
        // 192 outputs per input: 1365 inputs fit and 1366 do not.
        call("too many outputs", 1000, 192000, 1366, 0);
        call("no input", 44100, 39062.5, 200, 1);
        call("no output", 44100, 39062.5, 200, 2);
        call("nothing to do", 44100, 39062.5, 0, 0);
    }

    // A refused call does nothing: no output, and the stage does not move.
    void refusals()
    {
        QFETCH(double, inRate);
        QFETCH(double, outRate);
        QFETCH(int, refusedDesigns);
        QFETCH(int, n);
        QFETCH(int, nullBuffer);
        const double accepted[2] = {refusedDesigns < 0 ? inRate : 1000,
                                    refusedDesigns < 0 ? outRate : 192000};

        const Frames in = randomFrames(Resampler::maxInputFrames + 1, 9);
        Frames out(Resampler::maxOutputFrames + 200, Frame{9.0, 9.0});
        KernelDsp stage(nullptr);
        int count = -1;
        QCOMPARE(stage.process(in.data(), 200, out.data(), &count), 0); // not configured yet
        QCOMPARE(count, 0);
        QCOMPARE(stage.setRates(accepted[0], accepted[1]), 1);
        for (int i = 0; i < refusedDesigns; ++i)
            QTest::ignoreMessage(QtDebugMsg, refusedDesign);
        if (refusedDesigns >= 0)
            QCOMPARE(stage.setRates(inRate, outRate), 0); // the earlier rates are gone too

        count = -1;
        QCOMPARE(stage.process(nullBuffer == 1 ? nullptr : in.data(), n,
                               nullBuffer == 2 ? nullptr : out.data(), &count),
                 n == 0 && refusedDesigns < 0 ? 1 : 0);
        QCOMPARE(count, 0);
        QCOMPARE(out[0].left, 9.0);

        if (refusedDesigns >= 0)
            QCOMPARE(stage.setRates(accepted[0], accepted[1]), 1);
        QCOMPARE(stage.process(in.data(), 1365, out.data(), &count), 1);
        QCOMPARE(out[count].left, 9.0);
        KernelDsp fresh(nullptr);
        fresh.setRates(accepted[0], accepted[1]);
        QVERIFY(sameBits(Frames(out.begin(), out.begin() + count),
                         convert(fresh, Frames(in.begin(), in.begin() + 1365), 1365)));
    }
};

QTEST_APPLESS_MAIN(TstResampler)
#include "tst_resampler.moc"
