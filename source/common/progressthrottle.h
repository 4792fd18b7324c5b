#pragma once

#include <functional>

// Passes a long pass's progress on when it moved by a thousandth, after 16
// steps, or at the end, whichever comes first: often enough to stop at once
// and to keep a window painting, rarely enough that a caller processing
// events on every report does not slow a long pass down.
//
// A pass that starts after `from` of the work (a conversion started again,
// or following a scan) counts as the rest of it, so that the fraction
// passed on never goes back.
class ProgressThrottle
{
public:
    explicit ProgressThrottle(const std::function<bool(double)> &progress, double from = 0.0)
        : callback(progress)
        , base(from)
        , reported(from)
    { }

    // `done` is the fraction of this pass, 0.0 ... 1.0. False once the
    // callback asked to stop.
    bool report(double done)
    {
        const double fraction = base + (1.0 - base) * done;
        if (++steps < 16 && fraction - reported < 0.001 && done < 1.0)
            return true;
        steps = 0;
        reported = fraction;
        return !callback || callback(fraction);
    }

    // What was passed on last (`from` before the first report).
    double fraction() const { return reported; }

private:
    const std::function<bool(double)> &callback;
    double base;
    double reported;
    int steps = 0;
};
