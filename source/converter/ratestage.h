#pragma once

#include "wave/frame.h"

#include <QString>

#include <cmath>
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

// A two-channel rate converter as the conversion job drives it: blocks of
// frames in, frames at the other rate out, the filter state carried from
// call to call, and at the end what the filter still holds.
class RateStage
{
public:
    virtual ~RateStage() = default;

    // Room for the output of any one call below: the output of 1000 input
    // frames. Its range decides which rate pairs a conversion accepts.
    static double outputCapacity(double inRate, double outRate)
    {
        return std::ceil(1000.0 * outRate / inRate);
    }

    // Configures the stage for inRate -> outRate (Hz), starting from
    // silence. False when the pair is refused.
    virtual bool setRates(double inRate, double outRate) = 0;

    // Converts n frames (n <= 1000) into `out`, which has room for
    // outputCapacity() frames. Returns the number of frames put out, -1 on
    // failure.
    virtual int process(const Frame *in, int n, Frame *out) = 0;

    // Once the input has ended: puts out the next part of what the filter
    // still holds. Returns the number of frames, 0 once nothing is left, -1
    // on failure.
    virtual int flush(Frame *out) = 0;
};

std::unique_ptr<RateStage> makeRateStage(ResamplingQuality quality);

// Why the stage of `quality` cannot be used here (its library is missing),
// or empty.
QString rateStageFailure(ResamplingQuality quality);
