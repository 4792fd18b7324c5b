#pragma once

#include "converter/windowfunction.h"
#include "wave/frame.h"

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
        // The same taps regrouped by phase for the filter loop: row p holds
        // the 8 taps of phase p, widened to double, oldest sample's tap first
        // (coeffs[p + 7 * interp] ... coeffs[p]).
        std::unique_ptr<double[]> phaseRows;
    };

    // One channel's polyphase state.
    struct resampleF_state
    {
        const float *in = nullptr; // current input block, set by the caller
        float *out = nullptr;      // current output block, set by the caller
        // Ring of the most recent input samples, historySize entries.
        std::unique_ptr<float[]> history;
        std::unique_ptr<firF> filter; // null when the design was refused
        int historySize = 1;          // a power of two
        int inCount = 0;              // samples in `in`, set by the caller
        int taps = 0;                 // 8 * interp; 0 when refused
        int writePos = 0;             // where the next input sample goes
        int interp = 0;               // L
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
    static constexpr int stageHistory = 327680; // least history of the stage's states

    Resampler();
    ~Resampler();
    Resampler(const Resampler &) = delete;
    Resampler &operator=(const Resampler &) = delete;

    // Restarts from silence for inRate -> outRate (Hz). Returns 1, or 0 when
    // the pair is refused: a rate that is not finite, below 0.1 Hz or at or
    // above 2^31 tenths of a hertz, or a filter of more than maxTaps taps.
    // After a refusal process() produces nothing until the next setRates.
    int setRates(double inRate, double outRate);

    // Converts n frames (0 ... maxInputFrames) into *outCount frames. Returns
    // 1, or 0 when nothing was done: not configured, n out of range, null
    // pointers, or more than maxOutputFrames outputs due. *outCount is 0 then
    // and neither `out` nor the state is touched.
    int process(const Frame *in, Frame *out, int n, int *outCount);

    // Number of outputs that n more input frames would produce now (0 when
    // not configured).
    long long outputsFor(int n) const;

    // Creates one channel's state and designs its filter (Blackman-Nuttall
    // windowed sinc, cutoff 0.4 of the input rate). The design is refused,
    // with a debug message, when interp or decim is below 1 or 8 * interp
    // exceeds maxTaps; the state then has no filter and never produces
    // output. writePos is taken modulo the history size, a negative phase as
    // 0, and minHistory is capped at maxTaps.
    std::unique_ptr<resampleF_state> newPolyPhaseFIRF(int minHistory, int writePos, int interp,
                                                      int phase, int decim);

    float inRate() const { return inRate_; }
    float outRate() const { return outRate_; }
    const resampleF_state *leftState() const { return left.get(); }
    const resampleF_state *rightState() const { return right.get(); }

private:
    bool configured() const;

    float inRate_ = 0.0f;
    float outRate_ = 0.0f;
    std::unique_ptr<resampleF_state> left;
    std::unique_ptr<resampleF_state> right;
    WindowFunction window;
    std::unique_ptr<float[]> leftIn;
    std::unique_ptr<float[]> rightIn;
    std::unique_ptr<float[]> leftOut;
    std::unique_ptr<float[]> rightOut;
    // Both channels' recent and new samples, widened, for the paired run.
    std::unique_ptr<double[]> pairWindow;
    // The left filter's phaseRows with every tap twice, for the paired run;
    // null for filters of more than maxPairedTaps taps.
    static constexpr int maxPairedTaps = 1 << 19;
    std::unique_ptr<double[]> pairedRows;
};

// A filter record with room for `length` coefficients and ready = 0.
std::unique_ptr<Resampler::firF> newFIRF(int length);

// Runs state->in[0 ... inCount - 1] through the state, writes
// state->out[0 ... outCount - 1] (at most ceil(inCount * interp / decim)
// samples) and sets outCount. A state without a filter only records its
// input.
void filterChannel(Resampler::resampleF_state *state);
