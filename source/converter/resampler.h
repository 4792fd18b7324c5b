#pragma once

#include "converter/windowfunction.h"
#include "wave/frame.h"

#include <cstdint>
#include <memory>

// Rational sample-rate conversion of a two-channel stream by L/M with a
// windowed-sinc lowpass of 8 * L taps, computed as a polyphase filter: every
// output is L times the sum of 8 taps times the 8 most recent input samples.
//
// Rates are given in hertz and counted in tenths of a hertz, truncated;
// common factors 2 ... 10 are divided out (repeatedly), so L and M are not
// always in lowest terms: 1100 -> 2200 Hz gives L = 22, M = 11.
//
// After T input frames since the last setRates there are exactly
// ceil(T * L / M) output frames, whatever the block sizes. The output lags the
// input by 4 - 1 / (2 * L) input frames and starts from silence. The filter's
// gain at DC is about 2.75 (nothing divides the window's normalisation out).
class Resampler
{
public:
    // One designed FIR filter.
    struct firF
    {
        std::unique_ptr<float[]> coeffs; // `length` taps, in design order
        int length = 0;
        int ready = 0; // 1 once designed
    };

    // One channel's polyphase state.
    struct resampleF_state
    {
        const float *in = nullptr; // current input block, set by the caller
        float *out = nullptr;      // current output block, set by the caller
        // Ring of the most recent input samples, historySize entries; only
        // the newest 8 are ever read back.
        std::unique_ptr<float[]> history;
        // Null when the design was refused. Shared by both channels, and by
        // stages set up alike (setRatesLike()); nothing changes it once
        // designed.
        std::shared_ptr<const firF> filter;
        int historySize = 1; // a power of two
        int inCount = 0;     // samples in `in`, set by the caller
        int taps = 0;        // 8 * interp; 0 when refused
        int writePos = 0;    // where the next input sample goes
        int interp = 0;      // L
        // How far the next output lies past the next input sample, in steps
        // of 1/L input sample; >= L when that sample yields no output.
        int phase = 0;
        int decim = 0;    // M
        int outCount = 0; // samples written to `out` by the last run
        int historyMask = 0;
    };

    static constexpr int maxInputFrames = 4096;
    static constexpr int maxOutputFrames = 262144;
    static constexpr int maxTaps = 1 << 24;
    // Every output reads the 8 most recent input samples, and no more are
    // kept: the stage's states hold a ring of 8.
    static constexpr int span = 8;

    Resampler();
    ~Resampler();
    Resampler(const Resampler &) = delete;
    Resampler &operator=(const Resampler &) = delete;

    // Restarts from silence for inRate -> outRate (Hz). Returns 1, or 0 when
    // the pair is refused: a rate that is not finite, below 0.1 Hz or at or
    // above 2^31 tenths of a hertz, or a filter of more than maxTaps taps.
    // After a refusal process() produces nothing until the next setRates.
    int setRates(double inRate, double outRate);
    // The same rates as `other`, sharing its filters instead of designing
    // them again; restarts from silence. Returns what other's setRates did.
    int setRatesLike(const Resampler &other);

    // Converts n frames (0 ... maxInputFrames) into *outCount frames. Returns
    // 1, or 0 when nothing was done: not configured, n out of range, null
    // pointers, or more than maxOutputFrames outputs due. *outCount is 0 then
    // and neither `out` nor the state is touched.
    int process(const Frame *in, Frame *out, int n, int *outCount);

    // The same without a copy of the input: the caller puts the next n frames
    // at input() (room for maxInputFrames), rounded to single precision
    // already when `rounded` is true, and calls processInput(). Every output
    // value is multiplied by `gain` as it is stored (1.0 changes nothing).
    Frame *input() { return frames.get() + span; }
    int processInput(int n, bool rounded, double gain, Frame *out, int *outCount);

    // Puts a stage just set up where it would stand after `inputs` input
    // frames, the last 8 of them `recent` (oldest first, rounded to single
    // precision): its next output is output ceil(inputs * L / M). The state
    // at any input position is those 8 samples and a phase, so a recording
    // can be converted in parts, each starting from its place.
    long long startAt(long long inputs, const Frame *recent);

    // Number of outputs that n more input frames would produce now (0 when
    // not configured).
    long long outputsFor(int n) const;
    // The most that n input frames can produce, wherever the stream stands:
    // ceil(n * L / M) (0 when not configured).
    long long mostOutputsFor(long long n) const;

    // Creates one channel's state and designs its filter (Blackman-Nuttall
    // windowed sinc, cutoff 0.4 of the input rate). The design is refused,
    // with a debug message, when interp or decim is below 1 or 8 * interp
    // exceeds maxTaps; the state then has no filter and never produces
    // output. The history holds at least the 8 samples that are read back;
    // writePos is taken modulo its size, a negative phase as 0, and
    // minHistory is capped at maxTaps.
    std::unique_ptr<resampleF_state> newPolyPhaseFIRF(int minHistory, int writePos, int interp,
                                                      int phase, int decim);

    float inRate() const { return inRate_; }
    float outRate() const { return outRate_; }
    const resampleF_state *leftState() const { return left.get(); }
    const resampleF_state *rightState() const { return right.get(); }

private:
    bool configured() const;
    void buildRows();

    float inRate_ = 0.0f;
    float outRate_ = 0.0f;
    std::unique_ptr<resampleF_state> left;
    std::unique_ptr<resampleF_state> right;
    WindowFunction window;
    // The 8 frames before the next block, then room for the block itself;
    // values rounded to single precision, widened.
    std::unique_ptr<Frame[]> frames;
    // The filter's taps, 8 per row, in the order the outputs use them: row r
    // is the phase of the r-th output after a restart (r M modulo L), so
    // successive outputs read successive rows. Each row holds its taps
    // oldest sample's first, every tap twice when `pairedRows` (one load
    // then serves both channels). Behind the `period` rows, the first few
    // again, so that a group of outputs never wraps in the middle.
    std::shared_ptr<const double[]> rows;
    // Beside each row: how many input frames the next output's newest input
    // lies past this one's.
    std::shared_ptr<const int[]> steps;
    bool pairedRows = false;
    static constexpr int64_t maxPairedTaps = 1 << 19;
    int64_t period = 0;  // rows before the visiting order repeats
    int64_t nextRow = 0; // row of the next output
};

// A filter record with room for `length` coefficients and ready = 0.
std::unique_ptr<Resampler::firF> newFIRF(int length);

// Runs state->in[0 ... inCount - 1] through the state, writes
// state->out[0 ... outCount - 1] (at most ceil(inCount * interp / decim)
// samples) and sets outCount. A state without a filter only records its
// input.
void filterChannel(Resampler::resampleF_state *state);
