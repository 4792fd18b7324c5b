#include "ratestage.h"

#include "common/latelibrary.h"
#include "kerneldsp.h"

#include <QCoreApplication>

#include <soxr.h>

#include <algorithm>
#include <cmath>
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
// the recording completed with silence to whole blocks, then to 1000 frames
// of silence that carry the end of the recording out of the filter. The
// stage gives the same frames however the stream is split into calls, so
// the padding can wait for the end, and a second stage can start in the
// middle: its state at any input frame is the 8 frames before it and a
// phase that follows from the frame's number.
class OriginalStage final : public RateStage
{
public:
    explicit OriginalStage(double outputGain)
        : gain(outputGain)
    { }

    bool setRates(double inRate, double outRate) override
    {
        framesIn = 0;
        tailDone = false;
        if (!dsp.setRates(inRate, outRate))
            return false;
        // Room for the largest call, the tail.
        capacity = dsp.mostOutputsFor(tailFrames);
        return capacity >= 1 && capacity <= KernelDsp::maxOutputFrames;
    }

    Frame *input() override { return dsp.input(); }
    bool takesRounded() const override { return true; }

    int process(int n, Frame *out) override
    {
        int produced = 0;
        if (!dsp.processInput(n, true, gain, out, &produced)) {
            failure = QCoreApplication::translate(
                              "ConvertFile", "the polyphase stage refused a block of %1 frames")
                              .arg(n);
            return -1;
        }
        framesIn += n;
        return produced;
    }

    int flush(Frame *out) override
    {
        const int padding = int((blockFrames - framesIn % blockFrames) % blockFrames);
        if (padding > 0) {
            const int produced = processSilence(padding, out);
            // Only the last part may be empty.
            if (produced != 0)
                return produced;
        }
        if (tailDone)
            return 0;
        tailDone = true;
        return processSilence(tailFrames, out);
    }

    int outputCapacity() const override { return int(capacity); }

    qint64 mostOutputsFor(qint64 inputs) const override
    {
        const qint64 blocks = (inputs + blockFrames - 1) / blockFrames;
        return dsp.mostOutputsFor(blocks * blockFrames + tailFrames);
    }

    std::unique_ptr<RateStage> startAt(qint64 inputs, const Frame *recent,
                                       qint64 *firstOutput) const override
    {
        auto stage = std::make_unique<OriginalStage>(gain);
        if (!stage->dsp.setRatesLike(dsp))
            return nullptr;
        stage->capacity = capacity;
        stage->framesIn = inputs;
        *firstOutput = stage->dsp.startAt(inputs, recent);
        return stage;
    }

    QString errorString() const override { return failure; }

private:
    static constexpr int tailFrames = 1000;

    int processSilence(int n, Frame *out)
    {
        std::fill(dsp.input(), dsp.input() + n, Frame{0.0, 0.0});
        return process(n, out);
    }

    KernelDsp dsp;
    const double gain;
    long long capacity = 0;
    long long framesIn = 0;
    bool tailDone = false;
    QString failure;
};

// libsoxr at its very-high-quality setting with a linear-phase filter, in
// binary64 throughout: Frames go in and come out as they are, interleaved,
// at unity gain. It compensates its own delay and, at the end, puts out
// exactly the recording's length converted, round(frames * outRate /
// inRate).
class HighQualityStage final : public RateStage
{
public:
    bool setRates(double inRate, double outRate) override
    {
        resampler.reset();
        failure.clear();
        const Soxr &library = soxrLibrary();
        // The original stage's limits: rates far beyond any real
        // recording's, and a frame of input still gives output.
        const double most = std::ceil(capacityInputs * outRate / inRate);
        if (!library.failure.isEmpty() || !(most >= 1 && most <= KernelDsp::maxOutputFrames) ||
            !(inRate < highestRate))
            return false;
        const soxr_io_spec_t io = library.ioSpec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
        const soxr_quality_spec_t quality = library.qualitySpec(SOXR_VHQ, SOXR_LINEAR_PHASE);
        const soxr_runtime_spec_t runtime = library.runtimeSpec(1);
        soxr_error_t error = nullptr;
        resampler.reset(library.create(inRate, outRate, 2, &error, &io, &quality, &runtime));
        capacity = int(most);
        ratio = outRate / inRate;
        return resampler && !error;
    }

    Frame *input() override { return block.data(); }
    bool takesRounded() const override { return false; }

    int process(int n, Frame *out) override
    {
        // Given a place for it, soxr takes all of the input and keeps what
        // does not fit into `out` for the next call.
        size_t used = 0;
        size_t produced = 0;
        if (!resampler)
            return -1;
        if (const soxr_error_t error =
                    soxrLibrary().process(resampler.get(), block.data(), size_t(n), &used, out,
                                          size_t(capacity), &produced))
            return fail(QString::fromUtf8(error));
        if (used != size_t(n))
            return fail(QCoreApplication::translate("ConvertFile", "input left over"));
        return int(produced);
    }

    int flush(Frame *out) override
    {
        size_t produced = 0;
        if (!resampler)
            return -1;
        if (const soxr_error_t error = soxrLibrary().process(resampler.get(), nullptr, 0, nullptr,
                                                             out, size_t(capacity), &produced))
            return fail(QString::fromUtf8(error));
        return int(produced);
    }

    int outputCapacity() const override { return capacity; }

    qint64 mostOutputsFor(qint64 inputs) const override
    {
        return qint64(std::ceil(double(inputs) * ratio));
    }

    std::unique_ptr<RateStage> startAt(qint64, const Frame *, qint64 *) const override
    {
        return nullptr; // its state is its library's own
    }

    QString errorString() const override { return failure; }

private:
    // Room for the output of five blocks in one call.
    static constexpr int capacityInputs = 5 * blockFrames;
    // 2^31 tenths of a hertz, where the original stage stops too.
    static constexpr double highestRate = 214748364.8;

    int fail(const QString &why)
    {
        failure = why;
        return -1;
    }

    struct Delete
    {
        void operator()(soxr_t resampler) const { soxrLibrary().destroy(resampler); }
    };
    std::unique_ptr<soxr, Delete> resampler;
    std::vector<Frame> block = std::vector<Frame>(blockFrames, Frame{0.0, 0.0});
    int capacity = 0;
    double ratio = 0.0;
    QString failure;
};

static_assert(sizeof(Frame) == 2 * sizeof(double), "soxr reads Frames as interleaved binary64");

} // namespace

std::unique_ptr<RateStage> makeRateStage(ResamplingQuality quality, Direction direction,
                                         QString *error)
{
    if (quality == ResamplingQuality::High) {
        *error = soxrLibrary().failure;
        if (!error->isEmpty())
            return nullptr;
        return std::make_unique<HighQualityStage>();
    }
    // The original stage's filter passes low frequencies about 2.75 times
    // too loud; these gains bring a full-scale source back below full scale.
    return std::make_unique<OriginalStage>(direction == Direction::BrinmoorToStandard ? 0.33 : 0.3);
}
