#include "convertfile.h"

#include "kerneldsp.h"
#include "platform/fileidentity.h"
#include "wave/brinmoorwavefile.h"
#include "wave/soundfile.h"
#include "wave/standardwavefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

namespace {

constexpr int blockFrames = 200;
constexpr int flushFrames = 1000;
// Progress is reported when it moved by this fraction, after this many
// blocks, or at the end, whichever comes first: often enough to cancel at
// once and keep a window painting, rarely enough that a caller processing
// events on every report does not slow a long conversion down.
constexpr double reportStep = 0.001;
constexpr int reportBlocks = 16;
// What the stage can put out in one call.
constexpr double maxOutputFrames = 262144;
// Sample rates from 2^31 tenths of a hertz on are refused.
constexpr double highestRate = 214748364.8;

// The original stage's filter passes low frequencies about 2.75 times too
// loud; these gains bring a full-scale source back below full scale. The
// high-quality stage has unity gain.
constexpr double toStandardGain = 0.33;
constexpr double toBrinmoorGain = 0.3;

double stageGain(ResamplingQuality quality, bool toStandard)
{
    if (quality == ResamplingQuality::High)
        return 1.0;
    return toStandard ? toStandardGain : toBrinmoorGain;
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

ConvertResult failure(ConvertError error, const QString &reason)
{
    ConvertResult result;
    result.error = error;
    result.reason = reason;
    return result;
}

// A refused source: one that could not be read at all, or one that was
// read and is not what this direction converts.
ConvertResult sourceFailure(const QString &source, const WaveInfo &info, const QString &why)
{
    ConvertResult result = info.unreadable
            ? failure(ConvertError::SourceOpen,
                      QStringLiteral("cannot open %1: %2").arg(native(source), why))
            : failure(ConvertError::SourceFormat,
                      QStringLiteral("%1: %2").arg(native(source), why));
    result.source = info;
    return result;
}

// Values above full scale in a destination: how many, and the largest.
struct Overs
{
    qint64 count = 0;
    double peak = 0.0;

    void add(const Frame *frames, int n)
    {
        for (int i = 0; i < n; ++i) {
            for (const double v : {std::fabs(frames[i].left), std::fabs(frames[i].right)}) {
                if (v > 1.0) {
                    ++count;
                    peak = std::max(peak, v);
                }
            }
        }
    }

    Warning warning() const { return {Warning::Overs, count, 0, peak}; }
};

} // namespace

bool isSameFile(const QString &a, const QString &b)
{
    const QFileInfo infoA(a);
    const QFileInfo infoB(b);
    if (!infoA.exists() || !infoB.exists())
        return false;
    // Hard links have different paths but are one file.
    return infoA.canonicalFilePath() == infoB.canonicalFilePath() || Platform::oneFileOnDisk(a, b);
}

namespace {

// Reports the fraction of the source read when it moved by reportStep,
// after reportBlocks blocks, or at the end, whichever comes first. A pass
// that starts again after `done` of the work counts as the rest of it, so
// that the fraction never goes back.
class ProgressThrottle
{
public:
    ProgressThrottle(const ConvertOptions &options, qint64 totalFrames, double done)
        : report(options.progress)
        , total(totalFrames)
        , base(done)
        , reported(done)
    { }

    // False when the caller cancels.
    bool framesRead(qint64 frames)
    {
        const double read = total > 0 ? std::min(1.0, double(frames) / double(total)) : 0.0;
        const double fraction = base + (1.0 - base) * read;
        if (++unreported < reportBlocks && fraction - reported < reportStep && read < 1.0)
            return true;
        reported = fraction;
        unreported = 0;
        return !report || report(fraction);
    }

    double fraction() const { return reported; }

private:
    const std::function<bool(double)> &report;
    qint64 total;
    double base;
    double reported;
    int unreported = 0;
};

// What every conversion from a Source file class into a Destination file
// class does alike: opening the source, the peak scan, the order of closing,
// and the wording of failures. Both file classes share the calls used here.
template<class Source, class Destination>
class ConversionSteps
{
protected:
    // A recording is the source of every conversion to the standard layout.
    static constexpr bool toStandard = std::is_same_v<Source, BrinmoorWaveFile>;

    ConversionSteps(Source &sourceFile, Destination &destinationFile, const QString &sourcePath,
                    const QString &destinationPath, const ConvertOptions &convertOptions)
        : reader(sourceFile)
        , writer(destinationFile)
        , source(sourcePath)
        , destination(destinationPath)
        , options(convertOptions)
    { }

    // Opens the source. Nothing is created at the destination until the
    // source has been accepted and is known not to be the destination
    // itself; a writer reports its rate before it is opened, so an unusable
    // source rate can be refused before the destination is touched.
    ConvertResult openSource()
    {
        if (!reader.open(source, QIODevice::ReadOnly))
            return sourceFailure(source, reader.sourceInfo(), reader.errorString());
        if (isSameFile(source, destination))
            return failure(ConvertError::SameFile,
                           QStringLiteral("source and destination are the same file"));
        result.source = reader.sourceInfo();
        result.warnings = result.source.warnings();
        result.destinationRate = writer.sampleRate();
        return {};
    }

    // A pass over the whole source for its peak: a recording (or float
    // source) that peaks above full scale is scaled into range before the
    // reader limits it, rather than clipped. The pass takes a fifth of the
    // progress still to come, and can be cancelled like the rest.
    ConvertResult scanPeak()
    {
        constexpr double scanShare = 0.2;
        const double from = progressSoFar;
        const double share = (1.0 - from) * scanShare;
        bool measured = false;
        bool stopped = false;
        const double peak = reader.measurePeak(measured, [&](double fraction) {
            stopped = options.progress && !options.progress(from + fraction * share);
            return !stopped;
        });
        if (stopped)
            return cancelled();
        if (!measured)
            return readFailure(reader);
        readScale = peak > 1.0 ? peak : 1.0;
        reader.setReadScale(readScale);
        progressSoFar = from + share;
        return {};
    }

    void noteDamage(qint64 damagedValues)
    {
        if (damagedValues > 0)
            result.warnings.push_back({Warning::Damaged, damagedValues});
    }

    // The standard file is closed first. Only the destination's close can
    // fail in a way that matters: it finishes the header and puts the file
    // in place.
    ConvertResult finish()
    {
        if constexpr (!toStandard)
            reader.close();
        if (!writer.close())
            return writeFailure(ConvertError::Write, writer.errorString());
        if constexpr (toStandard)
            reader.close();
        return result;
    }

    ConvertResult unsupportedRate() const
    {
        return failure(ConvertError::UnsupportedRate,
                       QStringLiteral("%1: the sample rate of %2 Hz is not supported")
                               .arg(native(source), QString::number(reader.sampleRate())));
    }

    ConvertResult readFailure(const Source &from) const
    {
        return failure(
                ConvertError::Read,
                QStringLiteral("cannot read %1: %2").arg(native(source), from.errorString()));
    }

    ConvertResult writeFailure(ConvertError error, const QString &why) const
    {
        return failure(error, QStringLiteral("cannot write %1: %2").arg(native(destination), why));
    }

    static ConvertResult cancelled()
    {
        return failure(ConvertError::Cancelled, QStringLiteral("cancelled"));
    }

    Source &reader;
    Destination &writer;
    const QString &source;
    const QString &destination;
    const ConvertOptions &options;
    double readScale = 1.0;
    // What the progress has reached; a pass that starts again continues
    // from there.
    double progressSoFar = 0.0;
    ConvertResult result;
};

// The original rate conversion between the two WAVE layouts, the common
// case, on its fastest path.
//
// A long recording is converted in two parts at once, the second on a thread
// of its own: the stage's state at any input frame is the 8 frames before it
// and a phase that follows from the frame's number, so the second part
// starts from its place with the same state that the whole would have had
// there, and writes its outputs at their place in the destination. The
// result is the same, bit for bit.
//
// A recording is scaled into range when it peaks above full scale. Most do
// not, so the recording is converted at once while its peak is measured on
// the way; only when a value above full scale turns up are both parts
// stopped, the peak measured over the whole file, and the conversion started
// again, scaled, into a fresh temporary file. Either way the destination
// holds what converting after a separate peak scan gives.
template<class Source, class Destination>
class Conversion : ConversionSteps<Source, Destination>
{
    using Steps = ConversionSteps<Source, Destination>;
    using Steps::cancelled;
    using Steps::destination;
    using Steps::finish;
    using Steps::options;
    using Steps::progressSoFar;
    using Steps::reader;
    using Steps::readFailure;
    using Steps::readScale;
    using Steps::result;
    using Steps::scanPeak;
    using Steps::source;
    using Steps::toStandard;
    using Steps::unsupportedRate;
    using Steps::writeFailure;
    using Steps::writer;

public:
    Conversion(Source &sourceFile, Destination &destinationFile, const QString &sourcePath,
               const QString &destinationPath, const ConvertOptions &convertOptions)
        : Steps(sourceFile, destinationFile, sourcePath, destinationPath, convertOptions)
    {
        parts[0].reader = &sourceFile;
    }

    ConvertResult run()
    {
        ConvertResult step = open();
        if (step.ok())
            step = convertParts();
        if (step.ok() && overFullScale)
            step = startAgainScaled();
        if (!step.ok())
            return step;
        qint64 damaged = reader.damagedValues();
        if (measuring && split)
            damaged += parts[1].reader->damagedValues();
        this->noteDamage(damaged);
        return finish();
    }

private:
    // One part of the recording: input frames [first, end) (end < 0: to the
    // end, with the flush), its reader and stage, written as part `index`.
    struct Part
    {
        Source *reader = nullptr;
        std::unique_ptr<Source> ownReader;
        KernelDsp stage;
        int index = 0;
        qint64 first = 0;
        qint64 end = -1;
        qint64 framesWritten = 0;
        qint64 firstOutput = 0; // the output frame of input frame `first`
        std::atomic<qint64> framesRead{0};
        ConvertResult outcome;
    };

    // Opens both files.
    ConvertResult open()
    {
        const ConvertResult opened = this->openSource();
        if (!opened.ok())
            return opened;
        KernelDsp &stage = parts[0].stage;
        if (!stage.setRates(reader.sampleRate(), writer.sampleRate()))
            return unsupportedRate();
        // Room for the largest call, the flush.
        outputCapacity = stage.mostOutputsFor(flushFrames);
        if (outputCapacity < 1 || outputCapacity > KernelDsp::maxOutputFrames)
            return unsupportedRate();

        if (reader.needsPeak()) {
            if constexpr (toStandard) {
                reader.trackPeak(true);
                measuring = true;
            } else {
                const ConvertResult scanned = scanPeak();
                if (!scanned.ok())
                    return scanned;
            }
        }
        return openDestination();
    }

    ConvertResult openDestination()
    {
        if constexpr (toStandard) {
            // How long the destination will be decides whether its header
            // needs room for RF64's 64-bit sizes.
            writer.setExpectedFrames(outputFrames());
        }
        if (!writer.open(destination, QIODevice::WriteOnly))
            return writeFailure(ConvertError::DestinationOpen, writer.errorString());
        // Space for the whole destination is set aside at once.
        writer.expectFrames(outputFrames());
        return {};
    }

    // The recording went above full scale: everything written so far is
    // dropped with its temporary file, and the conversion starts over from
    // silence with the measured scale.
    ConvertResult startAgainScaled()
    {
        measuring = false;
        overFullScale = false;
        stop = false;
        ConvertResult step = scanPeak();
        if (step.ok() && !parts[0].stage.setRates(reader.sampleRate(), writer.sampleRate()))
            step = unsupportedRate();
        if (step.ok())
            step = openDestination();
        if (step.ok())
            step = convertParts();
        return step;
    }

    // The destination's length is known before the first block: the
    // reader's blocks (the last one completed with silence) and the flush,
    // resampled.
    qint64 outputFrames() const
    {
        const qint64 blocks = (reader.totalFrames() + blockFrames - 1) / blockFrames;
        return parts[0].stage.mostOutputsFor(blocks * blockFrames + flushFrames);
    }

    // The recording in one part, or in two at once when it is long and a
    // second processor is there.
    ConvertResult convertParts()
    {
        const qint64 total = reader.totalFrames();
        progress.emplace(options, total, progressSoFar);
        parts[0].end = -1;
        parts[0].framesWritten = 0;
        parts[0].framesRead = 0;
        // A standard thread, whose end every thread checker sees.
        std::future<void> helper;
        split = false;
        if (options.parallel && total >= minSplitFrames && QThread::idealThreadCount() > 1 &&
            prepareSecondPart(total / 2 / blockFrames * blockFrames)) {
            parts[0].end = parts[1].first;
            split = true;
            helper = std::async(std::launch::async, [this] { parts[1].outcome = pass(parts[1]); });
        }
        parts[0].outcome = pass(parts[0]);
        if (!parts[0].outcome.ok())
            stop = true;
        // The caller keeps hearing of the progress, and can cancel, while
        // the second part finishes.
        while (helper.valid() && helper.wait_for(waitStep) != std::future_status::ready)
            if (!stop && !progress->framesRead(framesRead()))
                stop = cancelledByCaller = true;
        progressSoFar = progress->fraction();
        if (cancelledByCaller)
            return cancelled();
        // A part stopped by the other one has its cancellation as outcome:
        // what stopped the other one is what counts.
        for (int i = 0; i < (split ? 2 : 1); ++i)
            if (!parts[i].outcome.ok() && parts[i].outcome.error != ConvertError::Cancelled)
                return parts[i].outcome;
        if (overFullScale)
            return {};
        if (stop)
            return cancelled();
        result.framesWritten = parts[0].framesWritten + (split ? parts[1].framesWritten : 0);
        if (split && parts[0].framesWritten != parts[1].firstOutput)
            return writeFailure(ConvertError::Write, QStringLiteral("the parts do not meet"));
        return {};
    }

    // Sets up the part from input frame `first` on: its own reader, and its
    // stage where the whole recording's would stand there.
    bool prepareSecondPart(qint64 first)
    {
        Part &part = parts[1];
        part.index = 1;
        part.first = first;
        part.end = -1;
        part.framesWritten = 0;
        part.framesRead = 0;
        // The file the first part reads, not the name: another file may
        // have been put in its place since.
        if (!part.ownReader) {
            part.ownReader = std::make_unique<Source>();
            if (!part.ownReader->openSameFile(reader))
                return false;
        }
        part.reader = part.ownReader.get();
        part.reader->setReadScale(readScale);
        Frame recent[8];
        if (first < 8 || !part.reader->seekFrame(first - 8) ||
            part.reader->readFramesRounded(recent, 8) != 8 ||
            !part.stage.setRatesLike(parts[0].stage))
            return false;
        // The frames before `first` are part 0's to measure.
        if constexpr (toStandard)
            part.reader->trackPeak(measuring);
        part.firstOutput = part.stage.startAt(first, recent);
        return writer.splitAt(part.firstOutput);
    }

    qint64 framesRead() const { return parts[0].framesRead + parts[1].framesRead; }

    // The part's frames through the stage into the destination, then, for
    // the last part, the flush that carries the recording's end out of the
    // filter. The flush takes the same gain as the blocks before it.
    ConvertResult pass(Part &part)
    {
        Source &in = *part.reader;
        KernelDsp &stage = part.stage;
        const qint64 length = part.end < 0 ? -1 : part.end - part.first;
        qint64 read = 0;
        while (length < 0 || read < length) {
            if (stop)
                return cancelled();
            const int got = in.readFramesRounded(stage.input(), blockFrames);
            if (got < 0)
                return readFailure(in);
            if (got == 0)
                break;
            if constexpr (toStandard) {
                if (measuring && in.trackedPeak() > 1.0) {
                    overFullScale = true;
                    stop = true;
                    return cancelled();
                }
            }
            // The reader completes a short last block with silence, so the
            // stage always gets whole blocks.
            const ConvertResult step = convertBlock(part, blockFrames);
            if (!step.ok())
                return step;
            read += got;
            part.framesRead = read;
            // Only the calling thread reports.
            if (part.index == 0 && !progress->framesRead(framesRead())) {
                stop = cancelledByCaller = true;
                return cancelled();
            }
        }
        if (part.end >= 0)
            return {};
        std::fill(stage.input(), stage.input() + flushFrames, Frame{0.0, 0.0});
        return convertBlock(part, flushFrames);
    }

    // The stage writes straight into the destination's buffer.
    ConvertResult convertBlock(Part &part, int count)
    {
        Frame *out = writer.frameSpace(int(outputCapacity), part.index);
        if (!out)
            return partWriteFailure(part);
        int produced = 0;
        if (!part.stage.processInput(count, true, gain, out, &produced))
            return unsupportedRate();
        if (!writer.commitFrames(produced, part.index))
            return partWriteFailure(part);
        part.framesWritten += produced;
        return {};
    }

    ConvertResult partWriteFailure(const Part &part) const
    {
        return writeFailure(ConvertError::Write,
                            part.index == 0 ? writer.errorString() : writer.partError());
    }

    // The stage's filter passes low frequencies about 2.75 times too loud;
    // these gains bring a full-scale source back below full scale.
    static constexpr double gain = toStandard ? toStandardGain : toBrinmoorGain;
    // Shorter recordings are not worth a second thread.
    static constexpr qint64 minSplitFrames = 1 << 17;
    static constexpr std::chrono::milliseconds waitStep{10};

    Part parts[2];
    bool split = false; // the recording goes in two parts
    long long outputCapacity = 0;
    // Converting while the reader measures the peak (see the class comment),
    // and whether it found a value above full scale.
    bool measuring = false;
    std::atomic<bool> overFullScale{false};
    // Both parts stop: cancelled, failed, or to start again.
    std::atomic<bool> stop{false};
    bool cancelledByCaller = false; // only the calling thread sets it
    // Of the calling thread.
    std::optional<ProgressThrottle> progress;
};

// The other conversions (another quality of rate conversion, other source
// or destination formats): Source reads, Destination writes, through a
// RateStage.
template<class Source, class Destination>
class GeneralConversion : ConversionSteps<Source, Destination>
{
    using Steps = ConversionSteps<Source, Destination>;
    using Steps::cancelled;
    using Steps::destination;
    using Steps::options;
    using Steps::progressSoFar;
    using Steps::reader;
    using Steps::readFailure;
    using Steps::result;
    using Steps::source;
    using Steps::toStandard;
    using Steps::unsupportedRate;
    using Steps::writeFailure;
    using Steps::writer;

public:
    GeneralConversion(Source &sourceFile, Destination &destinationFile, const QString &sourcePath,
                      const QString &destinationPath, const ConvertOptions &convertOptions)
        : Steps(sourceFile, destinationFile, sourcePath, destinationPath, convertOptions)
        , stage(makeRateStage(convertOptions.quality))
    { }

    ConvertResult run()
    {
        ConvertResult step = this->openSource();
        if (step.ok())
            step = setUpStage();
        if (step.ok() && reader.needsPeak()) {
            step = this->scanPeak();
            this->noteDamage(reader.damagedValues());
        }
        if (step.ok())
            step = openDestination();
        if (step.ok())
            step = convertAll();
        if (step.ok() && overs.count > 0)
            result.warnings.push_back(overs.warning());
        if constexpr (std::is_same_v<Source, SoundFile>) {
            // Only decoding tells how much a compressed file holds.
            result.source = reader.sourceInfo();
            for (const Warning &warning : reader.warnings())
                if (!result.warnings.contains(warning))
                    result.warnings.push_back(warning);
        }
        return step.ok() ? this->finish() : step;
    }

private:
    ConvertResult setUpStage()
    {
        const QString missing = rateStageFailure(options.quality);
        if (!missing.isEmpty())
            return failure(ConvertError::UnsupportedRate, missing);
        const double capacity = RateStage::outputCapacity(reader.sampleRate(), writer.sampleRate());
        // Rates up to where the original stage goes: far beyond any real
        // recording's, and a frame of input still gives output.
        if (!(capacity >= 1 && capacity <= maxOutputFrames) ||
            !(reader.sampleRate() < highestRate) ||
            !stage->setRates(reader.sampleRate(), writer.sampleRate()))
            return unsupportedRate();
        input.assign(blockFrames, Frame{0.0, 0.0});
        output.assign(size_t(capacity), Frame{0.0, 0.0});
        return {};
    }

    ConvertResult openDestination()
    {
        if constexpr (std::is_same_v<Destination, StandardWaveFile>) {
            // How long the destination will be decides whether its header
            // needs room for RF64's 64-bit sizes. No stage puts out more
            // than the recording completed to a whole block and 1000 frames
            // of silence.
            writer.setExpectedFrames(
                    qint64(std::ceil(double(reader.totalFrames() + blockFrames + flushFrames) *
                                     writer.sampleRate() / reader.sampleRate())));
        }
        if (!writer.open(destination, QIODevice::WriteOnly))
            return writeFailure(ConvertError::DestinationOpen, writer.errorString());
        return {};
    }

    // The reader completes a short last block with silence; the stage gets
    // the recording's own frames and pads the end as it needs to.
    ConvertResult convertAll()
    {
        const qint64 total = reader.totalFrames();
        ProgressThrottle progress(options, total, progressSoFar);
        qint64 framesRead = 0;
        for (;;) {
            const int got = reader.readFrames(input.data(), blockFrames);
            if (got < 0)
                return readFailure(reader);
            if (got == 0)
                break;
            // Only decoding tells where a compressed recording ends: its
            // announced length may be an estimate.
            qint64 left = total - framesRead;
            if constexpr (std::is_same_v<Source, SoundFile>)
                left = reader.framesDecoded() - framesRead;
            const int frames = left > 0 && left < got ? int(left) : got;
            const ConvertResult step = put(stage->process(input.data(), frames, output.data()));
            if (!step.ok())
                return step;
            framesRead += frames;
            if (!progress.framesRead(framesRead))
                return cancelled();
        }
        // What the filter still holds of the recording's end.
        for (int produced; (produced = stage->flush(output.data())) != 0;) {
            const ConvertResult step = put(produced);
            if (!step.ok())
                return step;
        }
        return {};
    }

    // What the stage put out, from a block or from the end of the recording
    // that its filter still held: both take the same gain.
    ConvertResult put(int produced)
    {
        if (produced < 0)
            return unsupportedRate();
        scaleFrames(gain, output.data(), produced);
        if (countOvers)
            overs.add(output.data(), produced);
        if (!writer.writeFrames(output.data(), produced))
            return writeFailure(ConvertError::Write, writer.errorString());
        result.framesWritten += produced;
        return {};
    }

    const std::unique_ptr<RateStage> stage;
    const double gain = stageGain(options.quality, toStandard);
    // A recording keeps values above full scale (float64 loses nothing),
    // which the high-quality filter's ringing may put out from a source
    // close to full scale; they are counted for a warning.
    const bool countOvers = !toStandard && options.quality == ResamplingQuality::High;
    Overs overs;
    std::vector<Frame> input;
    std::vector<Frame> output;
};

// Extensions of audio formats that a destination cannot take (FLAC only
// in the standard direction): written as WAVE under such a name, the file
// would lie about its format.
const QStringList &unwrittenExtensions()
{
    static const QStringList extensions{"flac", "aif", "aifc", "aiff", "ogg", "oga", "opus",
                                        "mp3",  "mp2", "caf",  "w64",  "au",  "snd", "m4a",
                                        "aac",  "wma", "wv",   "ape",  "ac3", "mka", "webm"};
    return extensions;
}

} // namespace

ConvertResult convertFile(const QString &source, const QString &destination, int type,
                          const ConvertOptions &options)
{
    const bool toStandard = type == BrinmoorToStandard;
    const QString suffix = QFileInfo(destination).suffix().toLower();
    const bool toFlac = toStandard && suffix == QLatin1String("flac");
    if (!toFlac && unwrittenExtensions().contains(suffix))
        return failure(ConvertError::DestinationFormat,
                       QStringLiteral("%1: .%2 files cannot be written; name the destination %3")
                               .arg(native(destination), suffix,
                                    toStandard ? QStringLiteral(".wav or .flac")
                                               : QStringLiteral(".wav")));

    BrinmoorWaveFile brinmoorFile;
    if (toFlac) {
        FlacFile flacFile;
        return GeneralConversion(brinmoorFile, flacFile, source, destination, options).run();
    }
    // The original rate conversion between the two WAVE layouts, the
    // common case, takes the fast path.
    const bool original = options.quality == ResamplingQuality::Original;
    if (toStandard) {
        StandardWaveFile standardFile;
        if (original)
            return Conversion(brinmoorFile, standardFile, source, destination, options).run();
        return GeneralConversion(brinmoorFile, standardFile, source, destination, options).run();
    }
    // WAVE files keep the program's own reader, whose values do not change
    // from one version to the next.
    if (isOtherAudioFormat(source)) {
        SoundFile soundFile;
        return GeneralConversion(soundFile, brinmoorFile, source, destination, options).run();
    }
    StandardWaveFile standardFile;
    if (original)
        return Conversion(standardFile, brinmoorFile, source, destination, options).run();
    return GeneralConversion(standardFile, brinmoorFile, source, destination, options).run();
}

int convertFile(const QString &source, const QString &destination, int type)
{
    // Keep the window painting and answering during a long conversion,
    // without paying for an event round per block.
    QElapsedTimer sinceEvents;
    sinceEvents.start();
    ConvertOptions options;
    options.progress = [&sinceEvents](double) {
        if (sinceEvents.elapsed() >= 10 && QCoreApplication::instance()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            sinceEvents.restart();
        }
        return true;
    };
    return convertFile(source, destination, type, options).ok() ? 0 : -1;
}

void scaleFrames(double gain, Frame *frames, int count)
{
    for (int i = 0; i < count; ++i) {
        frames[i].left *= gain;
        frames[i].right *= gain;
    }
}
