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

// The whole stream through the stage in calls of `block` frames.
Frames convert(KernelDsp &stage, const Frames &in, int block)
{
    Frames out;
    Frames buffer(Resampler::maxOutputFrames);
    for (size_t at = 0; at < in.size(); at += static_cast<size_t>(block)) {
        const int n = static_cast<int>(std::min(in.size() - at, size_t(block)));
        int count = -1;
        if (stage.process(in.data() + at, n, buffer.data(), &count) != 1)
            return {};
        out.insert(out.end(), buffer.begin(), buffer.begin() + count);
    }
    return out;
}

bool sameBits(const Frames &a, const Frames &b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Frame)) == 0;
}

// Output k comes from input s = floor(k M / L) at phase p = k M - s L:
// L * sum over j of h[p + j L] * x[s - j], summed newest first in double.
Frames closedForm(const Resampler &resampler, const Frames &in)
{
    const Resampler::resampleF_state &state = *resampler.leftState();
    const float *h = state.filter->coeffs.get();
    const long long L = state.interp;
    const long long M = state.decim;
    // Rounded through float memory: GCC 12's SLP vectoriser drops the
    // rounding of a double -> float -> double pair kept in registers.
    std::vector<float> rounded;
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
        rounded.push_back(float(L * left));
        rounded.push_back(float(L * right));
    }
    Frames out(rounded.size() / 2);
    for (size_t k = 0; k < out.size(); ++k)
        out[k] = Frame{rounded[2 * k], rounded[2 * k + 1]};
    return out;
}

// Random input almost never tells summation orders apart once outputs are
// rounded to float. Around some outputs, plant two products that cancel
// exactly and one tiny product, newest (left) or oldest (right): the tiny one
// survives only when it is added after the cancellation.
void plantOrderTraps(Frames &in, const Resampler &resampler)
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
}

} // namespace

class TstResampler : public QObject
{
    Q_OBJECT

private slots:
    void factors_data();
    void factors();
    void matchesClosedFormInAnyBlocks_data();
    void matchesClosedFormInAnyBlocks();
    void impulseResponse();
    void singleChannelEngine();
    void channelsAreIndependentAndRestartIsFresh();
    void refusedRates_data();
    void refusedRates();
    void processLimits();
};

void TstResampler::factors_data()
{
    QTest::addColumn<double>("inRate");
    QTest::addColumn<double>("outRate");
    QTest::addColumn<int>("L");
    QTest::addColumn<int>("M");
    QTest::addColumn<int>("outOf200");
    QTest::addColumn<int>("outOf1000");
    QTest::addColumn<double>("gain"); // L times the sum of each phase's taps; 0: no figure

    QTest::newRow("44100 to 39062.5") << 44100.0 << 39062.5 << 3125 << 3528 << 178 << 886 << 2.7515;
    QTest::newRow("39062.5 to 44100")
            << 39062.5 << 44100.0 << 3528 << 3125 << 226 << 1129 << 2.7515;
    QTest::newRow("48000 to 39062.5") << 48000.0 << 39062.5 << 625 << 768 << 163 << 814 << 0.0;
    QTest::newRow("8000 to 39062.5") << 8000.0 << 39062.5 << 625 << 128 << 977 << 4883 << 0.0;
    QTest::newRow("44100 to 48000") << 44100.0 << 48000.0 << 160 << 147 << 218 << 1089 << 2.7515;
    QTest::newRow("equal rates") << 44100.0 << 44100.0 << 1 << 1 << 200 << 1000 << 2.7391;
    QTest::newRow("factors below 11 go") << 1000.0 << 2000.0 << 2 << 1 << 400 << 2000 << 2.7474;
    QTest::newRow("factor 11 stays") << 1100.0 << 2200.0 << 22 << 11 << 400 << 2000 << 0.0;
}

void TstResampler::factors()
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
    for (const Resampler::resampleF_state *state :
         {stage.resamplerRef().leftState(), stage.resamplerRef().rightState()}) {
        QCOMPARE(state->interp, L);
        QCOMPARE(state->decim, M);
        QCOMPARE(state->taps, 8 * L);
        QCOMPARE(state->historySize, 524288);
    }

    // The phases' gains differ by less than 2e-5 and round to the figure.
    const Resampler::resampleF_state &state = *stage.resamplerRef().leftState();
    std::vector<double> gains(size_t(L), 0.0);
    for (int t = 0; t < 8 * L; ++t)
        gains[size_t(t % L)] += double(state.filter->coeffs[t]) * L;
    const auto [least, most] = std::minmax_element(gains.begin(), gains.end());
    QVERIFY(*most - *least < 2e-5);
    QVERIFY(gain == 0.0 || (std::abs(*least - gain) < 5e-5 && std::abs(*most - gain) < 5e-5));

    // Running total after T frames in 200-frame calls: ceil(T L / M).
    Frames buffer(Resampler::maxOutputFrames);
    long long total = 0;
    for (long long t = 200; t <= 20000; t += 200) {
        int count = 0;
        QCOMPARE(stage.process(buffer.data(), 200, buffer.data(), &count), 1);
        total += count;
        QCOMPARE(total, (t * L + M - 1) / M);
        QVERIFY(t != 200 || total == outOf200);
        QVERIFY(t != 1000 || total == outOf1000);
    }
}

void TstResampler::matchesClosedFormInAnyBlocks_data()
{
    factors_data();
    QTest::newRow("L 2, M 3") << 0.3 << 0.2 << 2 << 3 << 0 << 0;
    QTest::newRow("L 3, M 2") << 0.2 << 0.3 << 3 << 2 << 0 << 0;
}

void TstResampler::matchesClosedFormInAnyBlocks()
{
    QFETCH(double, inRate);
    QFETCH(double, outRate);
    QFETCH(int, L);
    QFETCH(int, M);

    Frames in = randomFrames(9000, 7);
    KernelDsp stage(nullptr);
    QCOMPARE(stage.setRates(inRate, outRate), 1);
    QCOMPARE(stage.resamplerRef().leftState()->interp, L);
    QCOMPARE(stage.resamplerRef().leftState()->decim, M);
    plantOrderTraps(in, stage.resamplerRef());
    const Frames expected = closedForm(stage.resamplerRef(), in);
    for (int block : {1, 7, 200, 1000, 4096}) {
        stage.setRates(inRate, outRate);
        QVERIFY2(sameBits(convert(stage, in, block), expected), qPrintable(QString::number(block)));
    }
}

void TstResampler::impulseResponse()
{
    KernelDsp stage(nullptr);
    stage.setRates(44100, 44100);
    Frames in(16, Frame{0.0, 0.0});
    in[0] = Frame{1.0, -1.0};
    const Frames out = convert(stage, in, 16);
    const double expected[8] = {5.3416e-5, 0, -0.11774, 1.4872, 1.4872, -0.11774, 0, 5.3416e-5};
    double sum = 0;
    for (int k = 0; k < 16; ++k) {
        const double e = k < 8 ? expected[k] : 0.0;
        QVERIFY2(std::abs(out[k].left - e) <= std::max(5e-5 * std::abs(e), 1e-8),
                 qPrintable(QString::number(k)));
        QCOMPARE(out[k].right, -out[k].left);
        sum += out[k].left;
    }
    QVERIFY(std::abs(out[1].left) > 1e-10);
    QVERIFY(std::abs(sum - 2.7391) < 5e-5);
}

void TstResampler::singleChannelEngine()
{
    // L 2, M 3: outputs while inputs 0, 1, 3 and 4 arrive, at phases 0, 1, 0, 1.
    Resampler resampler;
    auto state = resampler.newPolyPhaseFIRF(327680, 0, 2, 0, 3);
    QCOMPARE(state->historySize, 524288);
    float x = 1.0f;
    float y[4];
    state->in = &x;
    state->out = y;
    state->inCount = 1;
    const int phases[7] = {0, 1, 2, 0, 1, 2, 0};
    const int counts[7] = {1, 1, 0, 1, 1, 0, 1};
    for (int s = 0; s < 7; ++s) {
        QCOMPARE(state->phase, phases[s]);
        filterChannel(state.get());
        QCOMPARE(state->outCount, counts[s]);
    }

    // The single-channel engine agrees with the two-channel pass.
    KernelDsp stage(nullptr);
    stage.setRates(39062.5, 44100);
    Frames in = randomFrames(3000, 3);
    plantOrderTraps(in, stage.resamplerRef());
    const Frames out = convert(stage, in, 200);
    state = resampler.newPolyPhaseFIRF(327680, 0, 3528, 0, 3125);
    std::vector<float> left(in.size());
    std::vector<float> single(out.size() + 1);
    for (size_t i = 0; i < in.size(); ++i)
        left[i] = float(in[i].left);
    state->in = left.data();
    state->out = single.data();
    state->inCount = int(left.size());
    filterChannel(state.get());
    QCOMPARE(size_t(state->outCount), out.size());
    for (size_t k = 0; k < out.size(); ++k)
        QVERIFY(double(single[k]) == out[k].left); // exactly, not fuzzily

    QTest::ignoreMessage(QtDebugMsg, refusedDesign);
    state = resampler.newPolyPhaseFIRF(327680, 0, 0, 0, 1);
    QVERIFY(!state->filter);
    state->in = left.data();
    filterChannel(state.get());
    QCOMPARE(state->outCount, 0);

    for (int L : {65536, 66000}) {
        state = resampler.newPolyPhaseFIRF(327680, 0, L, 0, 1);
        QCOMPARE(state->historySize, L == 66000 ? 1048576 : 524288);
    }
}

void TstResampler::channelsAreIndependentAndRestartIsFresh()
{
    Frames in = randomFrames(3000, 11);
    KernelDsp stage(nullptr);
    stage.setRates(44100, 39062.5);
    const Frames both = convert(stage, in, 200);

    for (Frame &f : in)
        f.right = 0.0;
    stage.setRates(44100, 39062.5); // the same rates again: from silence
    const Frames leftOnly = convert(stage, in, 200);
    QCOMPARE(leftOnly.size(), both.size());
    for (size_t k = 0; k < both.size(); ++k) {
        QVERIFY(leftOnly[k].left == both[k].left);
        QCOMPARE(leftOnly[k].right, 0.0);
    }
}

void TstResampler::refusedRates_data()
{
    QTest::addColumn<double>("inRate");
    QTest::addColumn<double>("outRate");
    QTest::addColumn<int>("refusedDesigns");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("not a number") << 44100.0 << std::nan("") << 0;
    QTest::newRow("infinite") << inf << 44100.0 << 0;
    QTest::newRow("minus infinity") << 44100.0 << -inf << 0;
    QTest::newRow("negative") << -44100.0 << 39062.5 << 0;
    QTest::newRow("tenths beyond 32 bits") << 214748364.8 << 44100.0 << 0;
    QTest::newRow("output below 0.1 Hz") << 44100.0 << 0.05 << 2;
    QTest::newRow("input below 0.1 Hz") << 0.09 << 44100.0 << 2;
    QTest::newRow("both below 0.1 Hz") << 0.05 << 0.05 << 2;
    QTest::newRow("more than 2^24 taps") << 44100.0 << 300000.1 << 2;
}

void TstResampler::refusedRates()
{
    QFETCH(double, inRate);
    QFETCH(double, outRate);
    QFETCH(int, refusedDesigns);

    KernelDsp stage(nullptr);
    QCOMPARE(stage.setRates(44100, 39062.5), 1);
    for (int i = 0; i < refusedDesigns; ++i)
        QTest::ignoreMessage(QtDebugMsg, refusedDesign);
    QCOMPARE(stage.setRates(inRate, outRate), 0);
    Frames in = randomFrames(200, 5);
    Frames out(1000, Frame{9.0, 9.0});
    int count = -1;
    QCOMPARE(stage.process(in.data(), 200, out.data(), &count), 0);
    QCOMPARE(count, 0);
    QCOMPARE(out[0].left, 9.0);
    QCOMPARE(stage.setRates(44100, 39062.5), 1);
    QCOMPARE(stage.process(in.data(), 200, out.data(), &count), 1);
    QCOMPARE(count, 178);
}

void TstResampler::processLimits()
{
    KernelDsp stage(nullptr);
    const Frames in = randomFrames(Resampler::maxInputFrames + 1, 9);
    Frames out(Resampler::maxOutputFrames + 200, Frame{9.0, 9.0});
    int count = -1;
    QCOMPARE(stage.process(in.data(), 200, out.data(), &count), 0); // not configured
    QCOMPARE(count, 0);

    // 1000 Hz to 192000 Hz: 192 outputs per input, so 1365 inputs fit and
    // 1366 do not.
    QCOMPARE(stage.setRates(1000, 192000), 1);
    for (int n : {Resampler::maxInputFrames + 1, -1, 1366}) {
        count = -1;
        QCOMPARE(stage.process(in.data(), n, out.data(), &count), 0);
        QCOMPARE(count, 0);
    }
    QCOMPARE(stage.process(nullptr, 200, out.data(), &count), 0);
    QCOMPARE(stage.process(in.data(), 200, nullptr, &count), 0);
    QCOMPARE(stage.process(in.data(), 0, out.data(), &count), 1);
    QCOMPARE(count, 0);
    QCOMPARE(out[0].left, 9.0);

    // None of that moved the stage: it still starts from silence.
    QCOMPARE(stage.process(in.data(), 1365, out.data(), &count), 1);
    QCOMPARE(count, 262080);
    QCOMPARE(out[count].left, 9.0);
    const Frames first(out.begin(), out.begin() + count);
    stage.setRates(1000, 192000);
    QVERIFY(sameBits(convert(stage, Frames(in.begin(), in.begin() + 1365), 1365), first));
}

QTEST_APPLESS_MAIN(TstResampler)
#include "tst_resampler.moc"
