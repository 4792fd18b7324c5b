#pragma once

#include "converter/direction.h"
#include "wave/frame.h"

#include <QString>
#include <QtGlobal>

#include <memory>

// How a conversion changes the sample rate.
enum class ResamplingQuality {
    // The polyphase stage this converter has always used, with the gains
    // that go with it: what existing recordings and their users rely on,
    // bit for bit.
    Original,
    // A very-high-quality linear-phase converter at unity gain: flat to well
    // above 15 kHz, images and aliases more than 120 dB down.
    High,
};

// A two-channel rate converter as the conversion drives it: blocks of
// frames in, frames at the other rate out, the filter state carried from
// call to call, and at the end what the filter still holds. The reader
// fills the stage's own input and the writer lends the output space, so a
// block is never copied on its way; every output value leaves multiplied by
// the stage's gain.
class RateStage
{
public:
    // The most frames one call takes: the conversion reads its source in
    // blocks of this many.
    static constexpr int blockFrames = 200;
    // Frames before a place in the recording that startAt() needs.
    static constexpr int historyFrames = 8;

    virtual ~RateStage() = default;

    // Configures the stage for inRate -> outRate (Hz), starting from
    // silence. False when the pair is refused.
    virtual bool setRates(double inRate, double outRate) = 0;

    // Room for blockFrames frames: where the next block goes.
    virtual Frame *input() = 0;
    // True when the stage works in single precision and takes its input
    // rounded to it already (the readers round as they decode).
    virtual bool takesRounded() const = 0;
    // Converts the first n frames at input() into `out`, which has room for
    // outputCapacity() frames. Returns the number of frames put out, -1 on
    // failure (see errorString()).
    virtual int process(int n, Frame *out) = 0;
    // Once the input has ended: puts out the next part of what the filter
    // still holds. Returns the number of frames, 0 once nothing is left, -1
    // on failure.
    virtual int flush(Frame *out) = 0;

    // Room for the output of any one call, once the rates are set.
    virtual int outputCapacity() const = 0;
    // The most frames `inputs` input frames and the flush put out in all:
    // how long the destination will be.
    virtual qint64 mostOutputsFor(qint64 inputs) const = 0;

    // A second stage with the same rates, standing where this one, just set
    // up, would stand after `inputs` input frames, the last historyFrames
    // of them `recent` (read as input() takes them); *firstOutput is the
    // number of its next output frame. Null when the stage cannot start in
    // the middle of a recording.
    virtual std::unique_ptr<RateStage> startAt(qint64 inputs, const Frame *recent,
                                               qint64 *firstOutput) const = 0;

    // Why the last call failed.
    virtual QString errorString() const = 0;
};

// The stage of `quality` for a conversion going `direction`. Null, with
// *error saying why, when it cannot be used here: its library is missing.
std::unique_ptr<RateStage> makeRateStage(ResamplingQuality quality, Direction direction,
                                         QString *error);
