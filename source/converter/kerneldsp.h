#pragma once

#include "wave/frame.h"

#include <QThread>

#include <memory>

class Resampler;

// The rate conversion stage: converts a two-channel stream of Frames from
// one rate to another, block by block, its filter state carried from call to
// call. It derives from QThread for historical reasons but never starts a
// thread: every call runs to its end on the caller's thread.
class KernelDsp : public QThread
{
    Q_OBJECT

public:
    explicit KernelDsp(QObject *parent = nullptr);
    ~KernelDsp() override;

    // Configures the stage for inRate -> outRate (Hz) and restarts it from
    // silence. Returns 1, or 0 when the pair is refused (the stage then
    // produces no output).
    int setRates(double inRate, double outRate);
    // The same rates as `other`, sharing its filter design; restarts from
    // silence. Returns what other's setRates did.
    int setRatesLike(const KernelDsp &other);

    // Converts n input frames (n <= 4096) into *outCount output frames
    // (at most ceil(n * L / M), <= 262144). Returns 1, or 0 when nothing was
    // done (not configured, refused, or limits exceeded; *outCount = 0).
    int process(const Frame *in, int n, Frame *out, int *outCount);

    // The same without copying the input: the caller puts up to
    // maxInputFrames frames at input(), rounded to single precision already
    // when `rounded` is true, and converts them with processInput(). Each
    // output value is multiplied by `gain` as it is stored.
    Frame *input();
    int processInput(int n, bool rounded, double gain, Frame *out, int *outCount);

    // Puts a stage just set up where it would stand after `inputs` input
    // frames, the last 8 of them `recent`, rounded to single precision.
    // Returns the number of its next output frame: ceil(inputs * L / M).
    long long startAt(long long inputs, const Frame *recent);

    // The most frames that process() and processInput() accept and produce
    // in one call.
    static const int maxInputFrames;
    // The most that n input frames can produce in one call: ceil(n * L / M).
    long long mostOutputsFor(long long n) const;
    static const int maxOutputFrames;

    const Resampler &resamplerRef() const { return *resampler; }

private:
    std::unique_ptr<Resampler> resampler;
};
