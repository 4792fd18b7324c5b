#include "resampler.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#    include <emmintrin.h>
#endif

namespace {

constexpr double pi = 3.141592653589793;
constexpr double twoPi = 6.283185307179586;

// The filter always spans 8 input samples.
constexpr int span = 8;

// Rounds to float, saturating instead of overflowing.
float toFloat(double value)
{
    constexpr double largest = std::numeric_limits<float>::max();
    if (value > largest)
        return std::numeric_limits<float>::infinity();
    if (value < -largest)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

// A rate in whole tenths of a hertz, truncated toward zero; false when it is
// not finite, negative or does not fit 32 bits.
bool toTenths(double rate, int *tenths)
{
    const double t = rate * 10.0;
    if (!(t >= 0.0 && t < 2147483648.0))
        return false;
    *tenths = static_cast<int>(t);
    return true;
}

// Every output is the sum over j = 0 ... 7, newest sample first, of tap
// j * L + phase times sample s - j, each product exact in double and the sum
// kept in double, then times L and rounded once to float. Both loops below
// keep that order, so they agree bit for bit with each other and with the
// plain ring-indexed loop.
//
// The 8 most recent samples are kept widened in a sliding window, so the
// ring (which the state keeps as its record of the input) is read only when
// a run starts.

struct RunState
{
    int64_t phase;
    int writePos;
    int count;
};

RunState begin(const Resampler::resampleF_state &lead)
{
    return RunState{lead.phase, lead.writePos, 0};
}

void finish(Resampler::resampleF_state *state, const RunState &run)
{
    state->phase = static_cast<int>(run.phase);
    state->writePos = run.writePos;
    state->outCount = run.count;
}

// The sample `back` places before the write position.
float recent(const Resampler::resampleF_state &state, int back)
{
    return state.history[static_cast<size_t>((state.writePos - back) & state.historyMask)];
}

void runOne(Resampler::resampleF_state *state)
{
    const int interp = state->interp;
    const int64_t decim = state->decim;
    const int mask = state->historyMask;
    const double gain = interp;
    const double *rows = state->filter->phaseRows.get();
    const float *in = state->in;
    float *out = state->out;
    float *history = state->history.get();
    RunState run = begin(*state);

    double window[span];
    for (int i = 0; i < span; ++i)
        window[i] = recent(*state, span - i);

    for (int s = 0; s < state->inCount; ++s) {
        const float x = in[s];
        history[run.writePos] = x;
        for (int i = 0; i < span - 1; ++i)
            window[i] = window[i + 1];
        window[span - 1] = x;
        for (; run.phase < interp; run.phase += decim) {
            const double *row = rows + run.phase * span;
            double acc = 0.0;
            for (int i = span - 1; i >= 0; --i)
                acc += row[i] * window[i];
            out[run.count++] = static_cast<float>(gain * acc);
        }
        run.phase -= interp;
        run.writePos = (run.writePos + 1) & mask;
    }
    finish(state, run);
}

#if defined(__SSE2__)
// The two states in step over a block of Frames, output by output rather
// than input by input: output k lies k * M steps of 1/L past the state's
// phase, so its newest input and its row follow from the previous output's
// without a branch on how many outputs an input yields. Every output's sum
// is then independent of the last one's and the processor overlaps them.
// `window` holds 8 + n pairs: the 8 samples before the block, then the
// block, each rounded to float as the ring stores it. With Paired, `rows`
// holds every tap twice, so that it loads straight into both lanes;
// otherwise it is the filter's phaseRows.
template<bool Paired>
void runFrames(Resampler::resampleF_state *left, Resampler::resampleF_state *right, const Frame *in,
               int n, Frame *out, double *window, const double *rows)
{
    const int64_t interp = left->interp;
    const int64_t decim = left->decim;
    const int mask = left->historyMask;
    const __m128d gain = _mm_set1_pd(double(left->interp));
    constexpr int rowLength = Paired ? 2 * span : span;
    const auto tap = [](const double *row, int i) {
        if constexpr (Paired)
            return _mm_load_pd(row + 2 * i);
        else
            return _mm_load1_pd(row + i);
    };
    float *historyL = left->history.get();
    float *historyR = right->history.get();
    RunState run = begin(*left);

    for (int i = 0; i < span; ++i) {
        window[2 * i] = recent(*left, span - i);
        window[2 * i + 1] = recent(*right, span - i);
    }
    for (int s = 0; s < n; ++s) {
        const __m128 rounded = _mm_cvtpd_ps(_mm_loadu_pd(&in[s].left));
        _mm_storeu_pd(window + 2 * (span + s), _mm_cvtps_pd(rounded));
        historyL[run.writePos] = _mm_cvtss_f32(rounded);
        historyR[run.writePos] = _mm_cvtss_f32(_mm_shuffle_ps(rounded, rounded, 1));
        run.writePos = (run.writePos + 1) & mask;
    }

    // Input s holds the newest sample of output k; the window's pairs s + 1
    // ... s + 8 are that output's 8 samples, oldest first.
    int64_t s = run.phase / interp;
    int64_t phase = run.phase % interp;
    const int64_t wholeStep = decim / interp;
    const int64_t partStep = decim % interp;
    const auto advance = [&](int64_t &at, int64_t &p) {
        p += partStep;
        at += wholeStep;
        const int64_t carry = p >= interp ? 1 : 0;
        p -= carry * interp;
        at += carry;
    };

    // Four outputs at a time, their sums interleaved: each sum is a chain of
    // eight dependent additions, and four chains keep the adder busy.
    constexpr int lanes = 4;
    for (;;) {
        const double *row[lanes];
        const double *w[lanes];
        int64_t next = s;
        int64_t nextPhase = phase;
        for (int j = 0; j < lanes; ++j) {
            row[j] = rows + nextPhase * rowLength;
            w[j] = window + 2 * (next + 1);
            if (j + 1 < lanes)
                advance(next, nextPhase);
        }
        if (next >= n)
            break;
        __m128d acc[lanes];
#    pragma GCC unroll 4
        for (int j = 0; j < lanes; ++j)
            acc[j] = _mm_setzero_pd();
#    pragma GCC unroll 8
        for (int i = span - 1; i >= 0; --i) {
#    pragma GCC unroll 4
            for (int j = 0; j < lanes; ++j)
                acc[j] = _mm_add_pd(acc[j], _mm_mul_pd(tap(row[j], i), _mm_loadu_pd(w[j] + 2 * i)));
        }
#    pragma GCC unroll 4
        for (int j = 0; j < lanes; ++j)
            _mm_storeu_pd(&out[run.count + j].left,
                          _mm_cvtps_pd(_mm_cvtpd_ps(_mm_mul_pd(gain, acc[j]))));
        run.count += lanes;
        s = next;
        phase = nextPhase;
        advance(s, phase);
    }
    for (; s < n; ++run.count) {
        const double *row = rows + phase * rowLength;
        const double *w = window + 2 * (s + 1);
        __m128d acc = _mm_setzero_pd();
#    pragma GCC unroll 8
        for (int i = span - 1; i >= 0; --i)
            acc = _mm_add_pd(acc, _mm_mul_pd(tap(row, i), _mm_loadu_pd(w + 2 * i)));
        _mm_storeu_pd(&out[run.count].left, _mm_cvtps_pd(_mm_cvtpd_ps(_mm_mul_pd(gain, acc))));
        advance(s, phase);
    }
    run.phase = (s - n) * interp + phase;
    finish(left, run);
    finish(right, run);
}
#endif

// A state without a filter keeps a record of its input and yields nothing.
void recordOnly(Resampler::resampleF_state *state)
{
    for (int s = 0; s < state->inCount; ++s) {
        state->history[static_cast<size_t>(state->writePos)] = state->in[s];
        state->writePos = (state->writePos + 1) & state->historyMask;
    }
}

bool inStep(const Resampler::resampleF_state &a, const Resampler::resampleF_state &b)
{
    return a.filter && b.filter && a.interp == b.interp && a.decim == b.decim &&
            a.phase == b.phase && a.writePos == b.writePos && a.historySize == b.historySize &&
            a.inCount == b.inCount;
}

} // namespace

std::unique_ptr<Resampler::firF> newFIRF(int length)
{
    auto filter = std::make_unique<Resampler::firF>();
    if (length > 0) {
        filter->coeffs = std::make_unique<float[]>(static_cast<size_t>(length));
        filter->length = length;
    }
    return filter;
}

void filterChannel(Resampler::resampleF_state *state)
{
    state->outCount = 0;
    if (state->inCount <= 0 || !state->in || (state->filter && !state->out))
        return;
    if (!state->filter) {
        recordOnly(state);
        return;
    }
    runOne(state);
}

Resampler::Resampler()
    : leftIn(std::make_unique<float[]>(maxInputFrames))
    , rightIn(std::make_unique<float[]>(maxInputFrames))
    , leftOut(std::make_unique<float[]>(maxOutputFrames))
    , rightOut(std::make_unique<float[]>(maxOutputFrames))
    , pairWindow(std::make_unique<double[]>(2 * (span + maxInputFrames)))
{ }

Resampler::~Resampler() = default;

std::unique_ptr<Resampler::resampleF_state>
Resampler::newPolyPhaseFIRF(int minHistory, int writePos, int interp, int phase, int decim)
{
    auto state = std::make_unique<resampleF_state>();
    const int64_t taps = int64_t{span} * interp;
    const bool refused = interp <= 0 || decim <= 0 || taps > maxTaps;

    state->interp = interp;
    state->decim = decim;
    state->phase = std::max(phase, 0);
    state->taps = refused ? 0 : static_cast<int>(taps);

    const int wanted = std::max(state->taps, std::min(minHistory, int{maxTaps}));
    int size = 1;
    while (size < wanted)
        size *= 2;
    state->historySize = size;
    state->historyMask = size - 1;
    state->writePos = writePos & state->historyMask;
    state->history = std::make_unique<float[]>(static_cast<size_t>(size));

    if (refused) {
        qDebug() << "Resampler::init(): error - filter coeff: "
                 << static_cast<const void *>(state->filter.get());
        return state;
    }

    // Lowpass at 0.4 of the input rate, normalised to the upsampled rate.
    const float fc = 0.4f / static_cast<float>(interp);
    // The taps are even in number, so no tap sits on the centre.
    const float centre = static_cast<float>((state->taps - 1) * 0.5);
    auto filter = newFIRF(state->taps);
    float *h = filter->coeffs.get();
    for (int i = 0; i < state->taps; ++i) {
        const double x = static_cast<double>(i) - centre;
        h[i] = static_cast<float>(std::sin(twoPi * fc * x) / (pi * x));
    }
    window.generate(9, state->taps);
    window.apply(h, state->taps);
    filter->ready = 1;

    filter->phaseRows = std::make_unique<double[]>(static_cast<size_t>(state->taps));
    double *rows = filter->phaseRows.get();
    for (int p = 0; p < interp; ++p)
        for (int i = 0; i < span; ++i)
            rows[int64_t{p} * span + i] = h[p + (span - 1 - i) * interp];

    state->filter = std::move(filter);
    return state;
}

int Resampler::setRates(double inRate, double outRate)
{
    inRate_ = toFloat(inRate);
    outRate_ = toFloat(outRate);
    left.reset();
    right.reset();

    int a = 0;
    int b = 0;
    if (!toTenths(inRate, &a) || !toTenths(outRate, &b))
        return 0;

    // Divide out small common factors, starting again at 2 after each one.
    // Positive values shrink with every division, so this ends; a zero is
    // left alone (it is divisible by everything) and refused by the design.
    if (a > 0 && b > 0) {
        for (int d = 2; d <= 10;) {
            if (a % d == 0 && b % d == 0) {
                a /= d;
                b /= d;
                d = 2;
            } else {
                ++d;
            }
        }
    }

    left = newPolyPhaseFIRF(stageHistory, 0, b, 0, a);
    right = newPolyPhaseFIRF(stageHistory, 0, b, 0, a);
    pairedRows.reset();
    if (!configured())
        return 0;
#if defined(__SSE2__)
    // Doubling the rows costs memory; filters too long for it are read with
    // a broadcast of each tap instead.
    const int64_t taps = left->taps;
    if (taps <= maxPairedTaps) {
        pairedRows = std::make_unique<double[]>(static_cast<size_t>(2 * taps));
        const double *rows = left->filter->phaseRows.get();
        for (int64_t t = 0; t < taps; ++t)
            pairedRows[2 * t] = pairedRows[2 * t + 1] = rows[t];
    }
#endif
    return 1;
}

bool Resampler::configured() const
{
    return left && right && left->filter && right->filter;
}

long long Resampler::outputsFor(int n) const
{
    if (!configured() || n <= 0)
        return 0;
    // Outputs lie at phase, phase + M, ... (in 1/L input samples from the
    // next input sample); those before n * L are due.
    const int64_t end = int64_t{n} * left->interp;
    if (left->phase >= end)
        return 0;
    return (end - left->phase + left->decim - 1) / left->decim;
}

int Resampler::process(const Frame *in, Frame *out, int n, int *outCount)
{
    if (!outCount)
        return 0;
    *outCount = 0;
    if (!configured() || n < 0 || n > maxInputFrames)
        return 0;
    if (n == 0)
        return 1;
    if (!in || !out || outputsFor(n) > maxOutputFrames)
        return 0;

#if defined(__SSE2__)
    // Both channels share L, M and phase, so they run in one pass.
    left->inCount = right->inCount = n;
    if (inStep(*left, *right)) {
        left->in = right->in = nullptr;
        left->out = right->out = nullptr;
        if (pairedRows)
            runFrames<true>(left.get(), right.get(), in, n, out, pairWindow.get(),
                            pairedRows.get());
        else
            runFrames<false>(left.get(), right.get(), in, n, out, pairWindow.get(),
                             left->filter->phaseRows.get());
        *outCount = left->outCount;
        return 1;
    }
#endif
    for (int i = 0; i < n; ++i) {
        leftIn[i] = static_cast<float>(in[i].left);
        rightIn[i] = static_cast<float>(in[i].right);
    }
    left->in = leftIn.get();
    left->out = leftOut.get();
    left->inCount = n;
    right->in = rightIn.get();
    right->out = rightOut.get();
    right->inCount = n;

    filterChannel(left.get());
    filterChannel(right.get());

    const int count = left->outCount;
    for (int i = 0; i < count; ++i)
        out[i] = Frame{leftOut[i], rightOut[i]};
    *outCount = count;
    return 1;
}
