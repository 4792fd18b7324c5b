#include "resampler.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#    include <emmintrin.h>
#endif

namespace {

constexpr double pi = 3.141592653589793;
constexpr double twoPi = 6.283185307179586;

// The filter always spans 8 input samples.
constexpr int span = Resampler::span;

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
// kept in double, then times L and rounded once to float. Both engines below
// keep that order, so they agree bit for bit with each other.

// The single-channel engine: input by input, each yielding the outputs whose
// phase lies before the next input.
void runOne(Resampler::resampleF_state *state)
{
    const int64_t interp = state->interp;
    const int64_t decim = state->decim;
    const int mask = state->historyMask;
    const double gain = double(interp);
    const float *h = state->filter->coeffs.get();
    float *history = state->history.get();
    int64_t phase = state->phase;
    int writePos = state->writePos;
    int count = 0;
    for (int s = 0; s < state->inCount; ++s) {
        history[writePos] = state->in[s];
        for (; phase < interp; phase += decim) {
            double acc = 0.0;
            for (int j = 0; j < span; ++j)
                acc += double(h[phase + j * interp]) * double(history[(writePos - j) & mask]);
            state->out[count++] = static_cast<float>(gain * acc);
        }
        phase -= interp;
        writePos = (writePos + 1) & mask;
    }
    state->phase = static_cast<int>(phase);
    state->writePos = writePos;
    state->outCount = count;
}

// A state without a filter keeps a record of its input and yields nothing.
void recordOnly(Resampler::resampleF_state *state)
{
    for (int s = 0; s < state->inCount; ++s) {
        state->history[static_cast<size_t>(state->writePos)] = state->in[s];
        state->writePos = (state->writePos + 1) & state->historyMask;
    }
}

// Both channels of a frame as one value.
#if defined(__SSE2__)
using Pair = __m128d;
inline Pair zero()
{
    return _mm_setzero_pd();
}
inline Pair splat(double x)
{
    return _mm_set1_pd(x);
}
inline Pair load(const double *p)
{
    return _mm_loadu_pd(p);
}
inline Pair broadcast(const double *p)
{
    return _mm_load1_pd(p);
}
inline void store(double *p, Pair a)
{
    _mm_storeu_pd(p, a);
}
inline Pair add(Pair a, Pair b)
{
    return _mm_add_pd(a, b);
}
inline Pair mul(Pair a, Pair b)
{
    return _mm_mul_pd(a, b);
}
inline Pair viaFloat(Pair a)
{
    return _mm_cvtps_pd(_mm_cvtpd_ps(a));
}
#else
struct Pair
{
    double l, r;
};
inline Pair zero()
{
    return {0.0, 0.0};
}
inline Pair splat(double x)
{
    return {x, x};
}
inline Pair load(const double *p)
{
    return {p[0], p[1]};
}
inline Pair broadcast(const double *p)
{
    return {p[0], p[0]};
}
inline void store(double *p, Pair a)
{
    p[0] = a.l;
    p[1] = a.r;
}
inline Pair add(Pair a, Pair b)
{
    return {a.l + b.l, a.r + b.r};
}
inline Pair mul(Pair a, Pair b)
{
    return {a.l * b.l, a.r * b.r};
}
inline Pair viaFloat(Pair a)
{
    // Through memory, so that no vectoriser drops the rounding.
    const volatile float l = static_cast<float>(a.l);
    const volatile float r = static_cast<float>(a.r);
    return {l, r};
}
#endif

// Where the next output stands: its newest input sample (counted from the
// block's first) and its row.
struct Position
{
    int64_t s;
    int64_t row;
};

// Both channels over a block, output by output rather than input by input:
// output k lies k * M steps of 1/L past the first, so how far its newest
// input lies past the previous output's depends only on its phase, that is
// on its row, and the table `steps` holds it beside the rows. No output
// depends on the one before, and the processor overlaps them. `frames` holds
// the 8 frames before the block, then the block.
template<bool Paired>
int runFrames(const double *rows, const int *steps, int64_t period, int64_t interp,
              const Frame *frames, int n, double gain, Frame *out, Position &at)
{
    constexpr int rowLength = Paired ? 2 * span : span;
    const auto tap = [](const double *row, int i) {
        if constexpr (Paired)
            return load(row + 2 * i);
        else
            return broadcast(row + i);
    };
    const Pair filterGain = splat(double(interp));
    const Pair outputGain = splat(gain);
    const double *samples = &frames[0].left;
    const auto put = [&](Frame *to, Pair acc) {
        store(&to->left, mul(viaFloat(mul(filterGain, acc)), outputGain));
    };

    int64_t s = at.s;
    int64_t r = at.row;
    int count = 0;
    // Four outputs at a time, their sums interleaved: each sum is a chain of
    // eight dependent additions, and four chains keep the adder busy. The
    // tables have the rows of a whole group behind every starting row.
    // Frames s + 1 ... s + 8 are the samples of an output whose newest is s.
    constexpr int lanes = 4;
    for (;;) {
        int64_t newest[lanes];
        newest[0] = s;
        for (int j = 1; j < lanes; ++j)
            newest[j] = newest[j - 1] + steps[r + j - 1];
        if (newest[lanes - 1] >= n)
            break;
        const double *row = rows + r * rowLength;
        Pair acc[lanes];
#pragma GCC unroll 4
        for (int j = 0; j < lanes; ++j)
            acc[j] = zero();
#pragma GCC unroll 8
        for (int i = span - 1; i >= 0; --i) {
#pragma GCC unroll 4
            for (int j = 0; j < lanes; ++j)
                acc[j] = add(
                        acc[j],
                        mul(tap(row + j * rowLength, i), load(samples + 2 * (newest[j] + 1 + i))));
        }
#pragma GCC unroll 4
        for (int j = 0; j < lanes; ++j)
            put(out + count + j, acc[j]);
        count += lanes;
        s = newest[lanes - 1] + steps[r + lanes - 1];
        r += lanes;
        if (r >= period)
            r -= period;
    }
    for (; s < n; ++count) {
        const double *row = rows + r * rowLength;
        const double *w = samples + 2 * (s + 1);
        Pair acc = zero();
#pragma GCC unroll 8
        for (int i = span - 1; i >= 0; --i)
            acc = add(acc, mul(tap(row, i), load(w + 2 * i)));
        put(out + count, acc);
        s += steps[r];
        if (++r == period)
            r = 0;
    }
    at = Position{s, r};
    return count;
}

// Keeps the newest samples of a block in a state's ring, as the
// single-channel engine would have left them.
void remember(Resampler::resampleF_state *state, const Frame *block, int n, double Frame::*channel)
{
    const int mask = state->historyMask;
    for (int s = std::max(0, n - (mask + 1)); s < n; ++s)
        state->history[static_cast<size_t>((state->writePos + s) & mask)] =
                static_cast<float>(block[s].*channel);
    state->writePos = (state->writePos + n) & mask;
}

// A state like `model`, fresh (silent history, phase 0), sharing its filter.
std::unique_ptr<Resampler::resampleF_state> fresh(const Resampler::resampleF_state &model)
{
    auto state = std::make_unique<Resampler::resampleF_state>();
    state->interp = model.interp;
    state->decim = model.decim;
    state->taps = model.taps;
    state->historySize = model.historySize;
    state->historyMask = model.historyMask;
    state->history = std::make_unique<float[]>(static_cast<size_t>(model.historySize));
    state->filter = model.filter;
    return state;
}

int64_t greatestCommonDivisor(int64_t a, int64_t b)
{
    while (b != 0)
        a = std::exchange(b, a % b);
    return a;
}

// The latest designs, shared by the next stage set up for the same L and M:
// a batch of short files designs the filter of each pair of rates once.
// Stages on several threads take turns. Only a million taps in all are kept
// (with their rows, a few megabytes), so that an odd rate's design does not
// stay in memory.
struct KeptDesigns
{
    std::mutex turns;
    std::vector<std::unique_ptr<Resampler>> stages; // the most recent first
};

KeptDesigns &keptDesigns()
{
    static KeptDesigns kept;
    return kept;
}

constexpr int64_t keptTaps = 1 << 20;

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
    : frames(std::make_unique<Frame[]>(span + maxInputFrames))
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

    const int wanted = std::max(span, std::min(minHistory, int{maxTaps}));
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

    KeptDesigns &kept = keptDesigns();
    {
        const std::lock_guard<std::mutex> turn(kept.turns);
        const auto found = std::find_if(kept.stages.begin(), kept.stages.end(), [&](auto &stage) {
            return stage->left->interp == b && stage->left->decim == a;
        });
        if (found != kept.stages.end()) {
            std::rotate(kept.stages.begin(), found, found + 1);
            const float in = inRate_;
            const float out = outRate_;
            setRatesLike(*kept.stages.front());
            inRate_ = in;
            outRate_ = out;
            return 1;
        }
    }
    left = newPolyPhaseFIRF(span, 0, b, 0, a);
    // Both channels have the same filter; it is designed once (a refusal is
    // told for each).
    right = left->filter ? fresh(*left) : newPolyPhaseFIRF(span, 0, b, 0, a);
    rows.reset();
    steps.reset();
    std::fill(frames.get(), frames.get() + span, Frame{0.0, 0.0});
    if (!configured())
        return 0;
    buildRows();
    if (left->taps <= keptTaps) {
        auto stage = std::make_unique<Resampler>();
        stage->setRatesLike(*this);
        const std::lock_guard<std::mutex> turn(kept.turns);
        kept.stages.insert(kept.stages.begin(), std::move(stage));
        int64_t taps = 0;
        size_t keep = 0;
        while (keep < kept.stages.size() && taps + kept.stages[keep]->left->taps <= keptTaps)
            taps += kept.stages[keep++]->left->taps;
        kept.stages.resize(keep);
    }
    return 1;
}

void Resampler::buildRows()
{
    // Outputs visit the phases r * M modulo L, which repeat after L / gcd(L,
    // M) outputs; a table of at least `lanes` rows lets a group of outputs
    // advance with one subtraction.
    constexpr int lanes = 4;
    const int64_t interp = left->interp;
    const int64_t decim = left->decim;
    const int64_t cycle = interp / greatestCommonDivisor(interp, decim);
    period = cycle * ((lanes + cycle - 1) / cycle);
    nextRow = 0;
    // Doubling the taps costs memory; long filters broadcast each tap instead.
    pairedRows = period * span <= maxPairedTaps;
    const int rowLength = pairedRows ? 2 * span : span;
    const int64_t count = period + lanes - 1;
    auto table = std::make_unique<double[]>(static_cast<size_t>(count * rowLength));
    auto stepTable = std::make_unique<int[]>(static_cast<size_t>(count));
    const float *h = left->filter->coeffs.get();
    for (int64_t r = 0; r < count; ++r) {
        const int64_t phase = (r % period) * decim % interp;
        // From this output's newest input to the next output's.
        stepTable[r] = static_cast<int>((phase + decim) / interp);
        double *row = table.get() + r * rowLength;
        for (int i = 0; i < span; ++i) {
            const double tap = h[phase + (span - 1 - i) * interp];
            if (pairedRows)
                row[2 * i] = row[2 * i + 1] = tap;
            else
                row[i] = tap;
        }
    }
    rows = std::move(table);
    steps = std::move(stepTable);
}

int Resampler::setRatesLike(const Resampler &other)
{
    inRate_ = other.inRate_;
    outRate_ = other.outRate_;
    left.reset();
    right.reset();
    rows.reset();
    steps.reset();
    std::fill(frames.get(), frames.get() + span, Frame{0.0, 0.0});
    if (!other.configured())
        return 0;
    left = fresh(*other.left);
    right = fresh(*other.right);
    rows = other.rows;
    steps = other.steps;
    pairedRows = other.pairedRows;
    period = other.period;
    nextRow = 0;
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

long long Resampler::startAt(long long inputs, const Frame *recent)
{
    if (!configured() || inputs < 0)
        return 0;
    const int64_t interp = left->interp;
    const int64_t decim = left->decim;
    const int64_t outputs = (inputs * interp + decim - 1) / decim;
    std::copy(recent, recent + span, frames.get());
    for (resampleF_state *state : {left.get(), right.get()}) {
        state->phase = static_cast<int>(outputs * decim - inputs * interp);
        state->writePos = 0;
    }
    remember(left.get(), recent, span, &Frame::left);
    remember(right.get(), recent, span, &Frame::right);
    nextRow = outputs % period;
    return outputs;
}

long long Resampler::mostOutputsFor(long long n) const
{
    if (!configured() || n <= 0)
        return 0;
    return (n * left->interp + left->decim - 1) / left->decim;
}

int Resampler::process(const Frame *in, Frame *out, int n, int *outCount)
{
    if (n > 0 && (!in || n > maxInputFrames)) {
        if (outCount)
            *outCount = 0;
        return 0;
    }
    if (n > 0)
        std::copy(in, in + n, input());
    return processInput(n, false, 1.0, out, outCount);
}

int Resampler::processInput(int n, bool rounded, double gain, Frame *out, int *outCount)
{
    if (!outCount)
        return 0;
    *outCount = 0;
    if (!configured() || n < 0 || n > maxInputFrames)
        return 0;
    if (n == 0)
        return 1;
    if (!out || outputsFor(n) > maxOutputFrames)
        return 0;

    // Both channels share L, M and phase, so they run in one pass.
    Frame *block = input();
    if (!rounded)
        roundToSingle(block, n);
    const int64_t interp = left->interp;
    Position at{left->phase / interp, nextRow};
    const int count = pairedRows ? runFrames<true>(rows.get(), steps.get(), period, interp,
                                                   frames.get(), n, gain, out, at)
                                 : runFrames<false>(rows.get(), steps.get(), period, interp,
                                                    frames.get(), n, gain, out, at);
    nextRow = at.row;
    // The next output's phase, from its row.
    const int64_t phase = at.row * left->decim % interp;
    for (resampleF_state *state : {left.get(), right.get()}) {
        state->phase = static_cast<int>((at.s - n) * interp + phase);
        state->inCount = n;
        state->outCount = count;
    }
    remember(left.get(), block, n, &Frame::left);
    remember(right.get(), block, n, &Frame::right);
    // The block's last 8 frames lead the next one.
    std::memmove(frames.get(), frames.get() + n, span * sizeof(Frame));
    *outCount = count;
    return 1;
}
