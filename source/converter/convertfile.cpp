#include "convertfile.h"

#include "common/progressthrottle.h"
#include "platform/fileidentity.h"
#include "wave/brinmoorwavefile.h"
#include "wave/filereasons.h"
#include "wave/soundfile.h"
#include "wave/standardwavefile.h"

#include <QCoreApplication>
#include <QDir>
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

namespace {

// The sentences of failures, the file's name and the reason from below put
// together in the words of the conversion.
QString tr(const char *text)
{
    return QCoreApplication::translate("ConvertFile", text);
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
    ConvertResult result = info.libraryMissing
            ? failure(ConvertError::LibraryMissing,
                      QStringLiteral("%1: %2").arg(native(source), why))
            : info.unreadable
            ? failure(ConvertError::SourceOpen, tr("cannot open %1: %2").arg(native(source), why))
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

    void add(const Overs &other)
    {
        count += other.count;
        peak = std::max(peak, other.peak);
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

// One conversion: Source reads, its blocks go through the stage into the
// space Destination lends, with nothing copied on the way. Opening the
// source, the peak, the order of closing and the wording of failures are
// the same for every pair of file classes; all share the calls used here.
//
// A long recording between the two WAVE layouts is converted in two parts
// at once, the second on a thread of its own, when the stage can start in
// the middle (see RateStage::startAt()): the second part starts from its
// place with the state that the whole would have had there, and writes its
// outputs at their place in the destination. The result is the same, bit
// for bit.
//
// A recording is scaled into range when it peaks above full scale. Most do
// not, so the recording is converted at once while its peak is measured on
// the way; only when a value above full scale turns up are both parts
// stopped, the peak measured over the whole file, and the conversion started
// again, scaled, into a fresh temporary file. Either way the destination
// holds what converting after a separate peak scan gives. Other sources
// that need their peak (float and lossy ones) are scanned first.
template<class Source, class Destination>
class Conversion
{
public:
    Conversion(Source &sourceFile, Destination &destinationFile, const QString &sourcePath,
               const QString &destinationPath, const ConvertOptions &convertOptions)
        : reader(sourceFile)
        , writer(destinationFile)
        , source(sourcePath)
        , destination(destinationPath)
        , options(convertOptions)
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
        if (step.ok())
            noteWarnings();
        if constexpr (decodes) {
            // Only decoding tells how much a compressed file holds.
            result.source = reader.sourceInfo();
            for (const Warning &warning : reader.warnings())
                if (!result.warnings.contains(warning))
                    result.warnings.push_back(warning);
        }
        return step.ok() ? finish() : step;
    }

private:
    // A recording is the source of every conversion to the standard layout.
    static constexpr bool toStandard = std::is_same_v<Source, BrinmoorWaveFile>;
    static constexpr Direction direction =
            toStandard ? Direction::BrinmoorToStandard : Direction::StandardToBrinmoor;
    // A compressed source, whose length only decoding tells.
    static constexpr bool decodes = std::is_same_v<Source, SoundFile>;
    // Only the WAVE files can be read at two places and written at two at
    // once.
    static constexpr bool splittable = !decodes && !std::is_same_v<Destination, FlacFile>;
    // Shorter recordings are not worth a second thread.
    static constexpr qint64 minSplitFrames = 1 << 17;
    static constexpr std::chrono::milliseconds waitStep{10};
    static constexpr int blockFrames = RateStage::blockFrames;

    // One part of the recording: input frames [first, end) (end < 0: to the
    // end, with the flush), its reader and stage, written as part `index`.
    struct Part
    {
        Source *reader = nullptr;
        std::unique_ptr<Source> ownReader;
        RateStage *stage = nullptr;
        std::unique_ptr<RateStage> ownStage;
        int index = 0;
        qint64 first = 0;
        qint64 end = -1;
        qint64 framesWritten = 0;
        qint64 firstOutput = 0; // the output frame of input frame `first`
        std::atomic<qint64> framesRead{0};
        Overs overs;
        ConvertResult outcome;
    };

    // Opens the source, then the destination. Nothing is created at the
    // destination until the source has been accepted and is known not to be
    // the destination itself; a writer reports its rate before it is
    // opened, so an unusable source rate is refused before the destination
    // is touched.
    ConvertResult open()
    {
        if (!reader.open(source, QIODevice::ReadOnly))
            return sourceFailure(source, reader.sourceInfo(), reader.errorString());
        if (isSameFile(source, destination))
            return failure(ConvertError::SameFile, tr("source and destination are the same file"));
        result.source = reader.sourceInfo();
        result.warnings = result.source.warnings();
        result.destinationRate = writer.sampleRate();

        QString missing;
        stage = makeRateStage(options.quality, direction, &missing);
        if (!stage)
            return failure(ConvertError::LibraryMissing, missing);
        if (!stage->setRates(reader.sampleRate(), writer.sampleRate()))
            return unsupportedRate();
        parts[0].stage = stage.get();

        if (reader.needsPeak()) {
            if constexpr (toStandard) {
                // A float destination holds the recording at its level:
                // the peak is measured only for its damage.
                reader.keepOvers(keepsOvers);
                reader.trackPeak(true);
                tracking = true;
                measuring = !keepsOvers;
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
        // How long the destination will be decides whether its header needs
        // room for RF64's 64-bit sizes.
        const qint64 outputFrames = stage->mostOutputsFor(reader.totalFrames());
        if constexpr (std::is_same_v<Destination, StandardWaveFile>)
            writer.setExpectedFrames(outputFrames);
        if (!writer.open(destination, QIODevice::WriteOnly)) {
            bool libraryMissing = false;
            if constexpr (std::is_same_v<Destination, FlacFile>)
                libraryMissing = !FlacFile::available();
            return writeFailure(libraryMissing ? ConvertError::LibraryMissing
                                               : ConvertError::DestinationOpen,
                                writer.errorString());
        }
        // Space for the whole destination is set aside at once.
        if constexpr (splittable)
            writer.expectFrames(outputFrames);
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

    // The recording went above full scale: everything written so far is
    // dropped with its temporary file, and the conversion starts over from
    // silence with the measured scale.
    ConvertResult startAgainScaled()
    {
        measuring = false;
        tracking = false;
        overFullScale = false;
        stop = false;
        ConvertResult step = scanPeak();
        if (step.ok() && !stage->setRates(reader.sampleRate(), writer.sampleRate()))
            step = unsupportedRate();
        if (step.ok())
            step = openDestination();
        if (step.ok())
            step = convertParts();
        return step;
    }

    // The recording in one part, or in two at once when it is long and a
    // second processor is there.
    ConvertResult convertParts()
    {
        total = reader.totalFrames();
        progress.emplace(options.progress, progressSoFar);
        parts[0].end = -1;
        parts[0].framesWritten = 0;
        parts[0].framesRead = 0;
        parts[0].overs = {};
        // A standard thread, whose end every thread checker sees.
        std::future<void> helper;
        split = false;
        if constexpr (splittable) {
            if (options.parallel && total >= minSplitFrames && QThread::idealThreadCount() > 1 &&
                prepareSecondPart(total / 2 / blockFrames * blockFrames)) {
                parts[0].end = parts[1].first;
                split = true;
                helper = std::async(std::launch::async,
                                    [this] { parts[1].outcome = pass(parts[1]); });
            }
        }
        parts[0].outcome = pass(parts[0]);
        if (!parts[0].outcome.ok())
            stop = true;
        // The caller keeps hearing of the progress, and can cancel, while
        // the second part finishes.
        while (helper.valid() && helper.wait_for(waitStep) != std::future_status::ready)
            if (!stop && !reportProgress())
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
            return writeFailure(ConvertError::Write, tr("the parts do not meet"));
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
        part.overs = {};
        // The file the first part reads, not the name: another file may
        // have been put in its place since.
        if (!part.ownReader) {
            part.ownReader = std::make_unique<Source>();
            if (!part.ownReader->openSameFile(reader))
                return false;
        }
        part.reader = part.ownReader.get();
        part.reader->setReadScale(readScale);
        constexpr int history = RateStage::historyFrames;
        if constexpr (toStandard)
            part.reader->keepOvers(keepsOvers);
        Frame recent[history];
        if (first < history || !part.reader->seekFrame(first - history) ||
            readBlock(*part.reader, *stage, recent, history) != history)
            return false;
        part.ownStage = stage->startAt(first, recent, &part.firstOutput);
        part.stage = part.ownStage.get();
        if (!part.stage)
            return false;
        // The frames before `first` are part 0's to measure.
        if constexpr (toStandard)
            part.reader->trackPeak(tracking);
        return writer.splitAt(part.firstOutput);
    }

    // Reads as `by` takes its input.
    static int readBlock(Source &in, const RateStage &by, Frame *frames, int count)
    {
        return by.takesRounded() ? in.readFramesRounded(frames, count)
                                 : in.readFrames(frames, count);
    }

    qint64 framesRead() const { return parts[0].framesRead + parts[1].framesRead; }

    // Only the calling thread reports. False when the caller cancels.
    bool reportProgress()
    {
        return progress->report(total > 0 ? std::min(1.0, double(framesRead()) / double(total))
                                          : 0.0);
    }

    // The part's frames through the stage into the destination, then, for
    // the last part, what the filter still holds of the recording's end.
    ConvertResult pass(Part &part)
    {
        Source &in = *part.reader;
        RateStage &partStage = *part.stage;
        const qint64 length = part.end < 0 ? -1 : part.end - part.first;
        qint64 read = 0;
        while (length < 0 || read < length) {
            if (stop)
                return cancelled();
            const int got = readBlock(in, partStage, partStage.input(), blockFrames);
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
            // The reader completes a short last block with silence; the
            // stage gets the recording's own frames and pads the end as it
            // needs to. Only decoding tells where a compressed recording
            // ends: its announced length may be an estimate.
            qint64 left = total - part.first - read;
            if constexpr (decodes)
                left = in.framesDecoded() - read;
            const int frames = left > 0 && left < got ? int(left) : got;
            const ConvertResult step = convertInto(part, [&partStage, frames](Frame *out) {
                return partStage.process(frames, out);
            });
            if (!step.ok())
                return step;
            read += frames;
            part.framesRead = read;
            if (part.index == 0 && !reportProgress()) {
                stop = cancelledByCaller = true;
                return cancelled();
            }
        }
        if (part.end >= 0)
            return {};
        for (int produced = -1; produced != 0;) {
            const ConvertResult step =
                    convertInto(part, [&](Frame *out) { return produced = partStage.flush(out); });
            if (!step.ok())
                return step;
        }
        return {};
    }

    // The stage writes straight into the destination's buffer.
    template<class Call>
    ConvertResult convertInto(Part &part, Call call)
    {
        Frame *out = writer.frameSpace(part.stage->outputCapacity(), part.index);
        if (!out)
            return partWriteFailure(part);
        const int produced = call(out);
        if (produced < 0)
            return failure(
                    ConvertError::Resampling,
                    tr("cannot convert %1: %2").arg(native(source), part.stage->errorString()));
        if (countOvers)
            part.overs.add(out, produced);
        if (!writer.commitFrames(produced, part.index))
            return partWriteFailure(part);
        part.framesWritten += produced;
        return {};
    }

    // Damage in the source, and values above full scale in the destination.
    void noteWarnings()
    {
        qint64 damaged = reader.damagedValues();
        if (tracking && split)
            damaged += parts[1].reader->damagedValues();
        if (damaged > 0)
            result.warnings.push_back({Warning::Damaged, damaged});
        Overs overs = parts[0].overs;
        if (split)
            overs.add(parts[1].overs);
        if (overs.count > 0)
            result.warnings.push_back(overs.warning());
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
                       tr("%1: the sample rate of %2 Hz is not supported")
                               .arg(native(source), QString::number(reader.sampleRate())));
    }

    ConvertResult readFailure(const Source &from) const
    {
        return failure(ConvertError::Read,
                       tr("cannot read %1: %2").arg(native(source), from.errorString()));
    }

    ConvertResult writeFailure(ConvertError error, const QString &why) const
    {
        return failure(error, tr("cannot write %1: %2").arg(native(destination), why));
    }

    ConvertResult partWriteFailure(const Part &part) const
    {
        if constexpr (splittable) {
            if (part.index != 0)
                return writeFailure(ConvertError::Write, writer.partError());
        }
        return writeFailure(ConvertError::Write, writer.errorString());
    }

    static ConvertResult cancelled()
    {
        return failure(ConvertError::Cancelled, reasonText(FileReason::Cancelled));
    }

    Source &reader;
    Destination &writer;
    const QString &source;
    const QString &destination;
    const ConvertOptions &options;
    std::unique_ptr<RateStage> stage; // part 0's
    // A recording keeps values above full scale (float64 loses nothing),
    // which the high-quality filter's ringing may put out from a source
    // close to full scale; they are counted for a warning.
    const bool countOvers = !toStandard && options.quality == ResamplingQuality::High;
    double readScale = 1.0;
    // What the progress has reached; a pass that starts again continues
    // from there.
    double progressSoFar = 0.0;
    ConvertResult result;

    Part parts[2];
    qint64 total = 0;   // the source's frames, as it said when the pass began
    bool split = false; // the recording goes in two parts
    // Converting while the reader measures the peak (see the class comment),
    // and whether it found a value above full scale.
    bool measuring = false;
    // The reader counts damage as it reads (also when not measuring).
    bool tracking = false;
    // A float destination: the recording is read unscaled and unlimited.
    const bool keepsOvers = toStandard && options.standard.isFloat();
    std::atomic<bool> overFullScale{false};
    // Both parts stop: cancelled, failed, or to start again.
    std::atomic<bool> stop{false};
    bool cancelledByCaller = false; // only the calling thread sets it
    // Of the calling thread.
    std::optional<ProgressThrottle> progress;
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

ConvertResult convertFile(const QString &source, const QString &destination, Direction direction,
                          const ConvertOptions &options)
{
    const bool toStandard = direction == Direction::BrinmoorToStandard;
    const QString suffix = QFileInfo(destination).suffix().toLower();
    const bool toFlac = toStandard && suffix == QLatin1String("flac");
    if (!toFlac && unwrittenExtensions().contains(suffix))
        return failure(ConvertError::DestinationFormat,
                       tr("%1: .%2 files cannot be written; name the destination %3")
                               .arg(native(destination), suffix,
                                    toStandard ? tr(".wav or .flac") : QStringLiteral(".wav")));
    // Refused before anything is opened, so nothing is written.
    const StandardFormat &format = options.standard;
    if (toStandard && !StandardFormat::rateSupported(format.rate))
        return failure(ConvertError::DestinationFormat,
                       tr("%1: a standard destination cannot be written at %2 Hz")
                               .arg(native(destination))
                               .arg(format.rate));
    if (toFlac && !format.flacHolds())
        return failure(
                ConvertError::DestinationFormat,
                tr("%1: FLAC holds samples of 16 or 24 bits, not %2; name the destination .wav")
                        .arg(native(destination),
                             format.isFloat() ? tr("32-bit float") : tr("32 bits")));

    BrinmoorWaveFile brinmoorFile;
    if (toFlac) {
        FlacFile flacFile;
        flacFile.setFormat(format);
        return Conversion(brinmoorFile, flacFile, source, destination, options).run();
    }
    if (toStandard) {
        StandardWaveFile standardFile;
        standardFile.setFormat(format);
        return Conversion(brinmoorFile, standardFile, source, destination, options).run();
    }
    // WAVE files keep the program's own reader, whose values do not change
    // from one version to the next.
    if (isOtherAudioFormat(source)) {
        SoundFile soundFile;
        return Conversion(soundFile, brinmoorFile, source, destination, options).run();
    }
    StandardWaveFile standardFile;
    return Conversion(standardFile, brinmoorFile, source, destination, options).run();
}
