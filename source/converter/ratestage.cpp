#include "ratestage.h"

#include "kerneldsp.h"
#include "wave/latelibrary.h"

#include <QCoreApplication>

#include <soxr.h>

#include <vector>

namespace {

// libsoxr's functions, bound when the high-quality mode is first used.
struct Soxr
{
    decltype(&::soxr_create) create = nullptr;
    decltype(&::soxr_delete) destroy = nullptr;
    decltype(&::soxr_process) process = nullptr;
    decltype(&::soxr_io_spec) ioSpec = nullptr;
    decltype(&::soxr_quality_spec) qualitySpec = nullptr;
    decltype(&::soxr_runtime_spec) runtimeSpec = nullptr;
    QString failure; // why the library cannot be used; empty when it can
};

const Soxr &soxrLibrary()
{
    static const Soxr api = [] {
        Soxr x;
        LateLibrary library("soxr", 0);
        if (!library.bind(x.create, "soxr_create") || !library.bind(x.destroy, "soxr_delete") ||
            !library.bind(x.process, "soxr_process") || !library.bind(x.ioSpec, "soxr_io_spec") ||
            !library.bind(x.qualitySpec, "soxr_quality_spec") ||
            !library.bind(x.runtimeSpec, "soxr_runtime_spec"))
            x.failure = QCoreApplication::translate("ConvertFile",
                                                    "the high-quality mode is unavailable: %1")
                                .arg(library.errorString());
        return x;
    }();
    return api;
}

// The polyphase stage. Its output has always been the stage's response to
// the recording completed with silence to whole blocks of 200 frames, then
// to 1000 frames of silence that carry the end of the recording out of the
// filter. The stage gives the same frames however the stream is split into
// calls, so the padding can wait for the end.
class OriginalStage final : public RateStage
{
public:
    bool setRates(double inRate, double outRate) override
    {
        framesIn = 0;
        tailDone = false;
        return dsp.setRates(inRate, outRate) != 0;
    }

    int process(const Frame *in, int n, Frame *out) override
    {
        int produced = 0;
        if (!dsp.process(in, n, out, &produced))
            return -1;
        framesIn += n;
        return produced;
    }

    int flush(Frame *out) override
    {
        const int padding = int((blockFrames - framesIn % blockFrames) % blockFrames);
        if (padding > 0) {
            const int produced = process(silence.data(), padding, out);
            // Only the last part may be empty.
            if (produced != 0)
                return produced;
        }
        if (tailDone)
            return 0;
        tailDone = true;
        return process(silence.data(), tailFrames, out);
    }

private:
    static constexpr int blockFrames = 200;
    static constexpr int tailFrames = 1000;

    KernelDsp dsp;
    const std::vector<Frame> silence = std::vector<Frame>(tailFrames, Frame{0.0, 0.0});
    long long framesIn = 0;
    bool tailDone = false;
};

// libsoxr at its very-high-quality setting with a linear-phase filter, in
// binary64 throughout: Frames go in and come out as they are, interleaved.
// It compensates its own delay and, at the end, puts out exactly the
// recording's length converted, round(frames * outRate / inRate).
class HighQualityStage final : public RateStage
{
public:
    bool setRates(double inRate, double outRate) override
    {
        resampler.reset();
        const Soxr &library = soxrLibrary();
        if (!library.failure.isEmpty())
            return false;
        const soxr_io_spec_t io = library.ioSpec(SOXR_FLOAT64_I, SOXR_FLOAT64_I); // unity gain
        const soxr_quality_spec_t quality = library.qualitySpec(SOXR_VHQ, SOXR_LINEAR_PHASE);
        const soxr_runtime_spec_t runtime = library.runtimeSpec(1);
        soxr_error_t error = nullptr;
        resampler.reset(library.create(inRate, outRate, 2, &error, &io, &quality, &runtime));
        capacity = size_t(outputCapacity(inRate, outRate));
        return resampler && !error;
    }

    int process(const Frame *in, int n, Frame *out) override
    {
        // Given a place for it, soxr takes all of the input and keeps what
        // does not fit into `out` for the next call.
        size_t used = 0;
        size_t produced = 0;
        if (!resampler ||
            soxrLibrary().process(resampler.get(), in, size_t(n), &used, out, capacity,
                                  &produced) ||
            used != size_t(n))
            return -1;
        return int(produced);
    }

    int flush(Frame *out) override
    {
        size_t produced = 0;
        if (!resampler ||
            soxrLibrary().process(resampler.get(), nullptr, 0, nullptr, out, capacity, &produced))
            return -1;
        return int(produced);
    }

private:
    struct Delete
    {
        void operator()(soxr_t resampler) const { soxrLibrary().destroy(resampler); }
    };
    std::unique_ptr<soxr, Delete> resampler;
    size_t capacity = 0;
};

static_assert(sizeof(Frame) == 2 * sizeof(double), "soxr reads Frames as interleaved binary64");

} // namespace

QString rateStageFailure(ResamplingQuality quality)
{
    return quality == ResamplingQuality::High ? soxrLibrary().failure : QString();
}

std::unique_ptr<RateStage> makeRateStage(ResamplingQuality quality)
{
    if (quality == ResamplingQuality::High)
        return std::make_unique<HighQualityStage>();
    return std::make_unique<OriginalStage>();
}
