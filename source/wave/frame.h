#pragma once

#include <limits>

// One sample instant of the two-channel signal, left then right. Values are
// nominally within -1.0 ... +1.0. The Brinmoor-WAVE layout stores Frames byte
// for byte, so the layout below is part of the file format.
struct Frame
{
    double left;
    double right;
};

static_assert(sizeof(Frame) == 16, "a Frame is two packed binary64 values");
static_assert(std::numeric_limits<double>::is_iec559, "Frames are stored as IEEE-754 binary64");

// Rounds both values of the first n frames to single precision, in place, as
// the rate conversion takes its input.
void roundToSingle(Frame *frames, int n);
